#!/usr/bin/env python3
"""Checks quorvel.dll builds of either flavour (see check-dll.sh)."""
import re
import subprocess
import sys
from pathlib import Path

# The imports: exactly the system DLLs every supported Windows has. The
# Bluetooth API (bthprops.cpl) is optional on Windows and is loaded on first
# use, never imported.
IMPORTS = {'advapi32', 'iphlpapi', 'kernel32', 'msvcrt', 'setupapi', 'user32', 'ws2_32'}


def run(*args, stdin=None):
    return subprocess.run(args, input=stdin, capture_output=True, text=True, check=True).stdout


def imports(dll):
    return re.findall(r'^\s*Name: (\S+)', run('llvm-readobj', '--coff-imports', dll), re.M)


def exports(dll):
    return re.findall(r'^\s*Name: (\S+)', run('llvm-readobj', '--coff-exports', dll), re.M)


def sections(dll):
    return re.findall(r'^\s*\d+\s+(\S+)', run('llvm-objdump', '-h', dll), re.M)


STDCALL_SUFFIX = re.compile(r'@\d+$')


def demangle(names):
    """Demangled text of each name: Itanium (_Z..., with @N for __stdcall on
    32-bit x86, which is left out) or Visual C++ (?...)."""
    out = {}
    itanium = [n for n in names if n.startswith('_Z')]
    plain = [STDCALL_SUFFIX.sub('', n) for n in itanium]
    msvc = [n for n in names if n.startswith('?')]
    if itanium:
        out.update(zip(itanium, run('c++filt', stdin='\n'.join(plain) + '\n').splitlines()))
    if msvc:
        lines = run('llvm-undname', stdin='\n'.join(msvc) + '\n').splitlines()
        # llvm-undname echoes each name, then prints its text and a blank line.
        texts = [l for l in lines if l and not l.startswith('?')]
        out.update(zip(msvc, texts))
    for n in names:
        out.setdefault(n, n)
    return out


SKIP = re.compile(r"vtable for|typeinfo|`vftable'|`vbtable'|deleting destructor'|"
                  r"constructor closure'|guard variable")


def normalize(text):
    """Class::member(argument types)[const], the same for both flavours."""
    if SKIP.search(text):
        return None
    text = re.sub(r'^(public|protected|private): ', '', text)
    text = re.sub(r'\b(static|virtual) ', '', text)
    text = re.sub(r'\b(__thiscall|__cdecl|__fastcall|__ptr64)\b', '', text)
    text = re.sub(r'\b(class|struct|union|enum) ', '', text)
    text = text.replace('unsigned __int64', 'unsigned long long').replace('__int64', 'long long')
    if '(' not in text:
        return re.sub(r'\s+', '', text)  # a plain C name
    head, _, rest = text.partition('(')
    head = head.replace('__stdcall', '')
    name = re.search(r'(\S+::operator\s*(?:new|delete)(?:\[\])?|\S+)\s*$', head).group(1)
    depth, end = 1, 0
    for end, c in enumerate(rest):
        depth += {'(': 1, ')': -1}.get(c, 0)
        if depth == 0:
            break
    args, tail = rest[:end], rest[end + 1:]
    # A function pointer's convention: "__stdcall" (llvm-undname), " stdcall"
    # (c++filt); cdecl is the unmarked default.
    args = re.sub(r'\s+', '', args.replace('__stdcall', 'stdcall'))
    if args == 'void':
        args = ''
    const = 'const' if re.match(r'\s*const\b', tail) else ''
    return '%s(%s)%s' % (re.sub(r'\s+', '', name), args, const)


def members(dll):
    """The exported names, and a table from each member's normalized text to
    whether it is __stdcall (@N in MinGW's names, __stdcall in Visual C++'s)."""
    names = exports(dll)
    texts = demangle(names)
    table = {}
    for n in names:
        key = normalize(texts[n])
        if key:
            stdcall = bool(STDCALL_SUFFIX.search(n)) or re.search(r'__stdcall\s+[^(]*\(', texts[n]) is not None
            table[key] = table.get(key, False) or stdcall
    return names, table


def is_64bit(dll):
    return 'AMD64' in run('llvm-readobj', '--file-headers', dll)


def flavour(names):
    return 'msvc' if any(n.startswith('?') for n in names) else 'mingw'


def expected(lists, wide):
    """What the lists require, as (what, test) pairs on the normalized table.
    The lists spell operations with their 32-bit argument types; for a 64-bit
    build only the member's name is compared, and there is one calling
    convention only."""
    wants = []
    for line in lists:
        line = line.split('#', 1)[0].split()
        if len(line) != 2:
            continue
        kind, name = line
        if kind == 'class':
            for member in ['%s::%s()' % (name, name), '%s::%s(%sconst&)' % (name, name, name),
                           '%s::operator=(%sconst&)' % (name, name), '%s::~%s()' % (name, name),
                           '%s::operatordelete(void*)' % name]:
                wants.append((member, lambda t, m=member: m in t))
            new = '%s::operatornew(' % name
            wants.append((new + '...)', lambda t, m=new: any(k.startswith(m) for k in t)))
        elif kind == 'symbol':
            if name.startswith('_Z'):
                text = normalize(demangle([name])[name])
                if wide:
                    text = text.split('(')[0] + '('
                    wants.append((text + '...)', lambda t, m=text: any(k.startswith(m) for k in t)))
                else:
                    wants.append((text, lambda t, m=text: m in t))
            else:
                wants.append((name, lambda t, m=name: any(m in k for k in t)))
        elif kind == 'callback':
            # Routines the system or the library calls back: __stdcall
            # (CALLBACK, WINAPI) on 32-bit x86.
            text = normalize(demangle([name])[name])
            if wide:
                prefix = text.split('(')[0] + '('
                wants.append((prefix + '...)', lambda t, m=prefix: any(k.startswith(m) for k in t)))
            else:
                wants.append((text + ' as __stdcall', lambda t, m=text: t.get(m) is True))
    return wants


def c_functions():
    """The functions the C interface's header declares."""
    header = Path(__file__).parent.parent / 'include' / 'quorvel' / 'quorvel_c.h'
    return set(re.findall(r'QV_C_API DWORD WINAPI (qv_[a-z0-9_]+)\(', header.read_text()))


def check_c_exports(dll, names):
    """The C interface under its plain names only: every declared function,
    nothing else with the prefix, no decorated (name@N) copy."""
    declared = c_functions()
    exported = {n for n in names if n.startswith('qv_') or n.startswith('_qv_')}
    ok = True
    for name in sorted(declared - exported):
        print('check-dll: %s does not export the C function %s' % (dll, name))
        ok = False
    for name in sorted(exported - declared):
        print('check-dll: %s exports %s, which the C header does not declare' % (dll, name))
        ok = False
    return ok, len(declared)


def main():
    dlls = sys.argv[1:]
    if not dlls:
        sys.exit('usage: check-dll.sh quorvel.dll [other-flavour/quorvel.dll]')
    lists = []
    for f in sorted((Path(__file__).parent / 'exports').glob('*.txt')):
        lists += f.read_text().splitlines()
    fail = False
    tables = {}
    for dll in dlls:
        failed_before = fail
        fail = False
        names, table = members(dll)
        flav = flavour(names)
        tables[dll] = (flav, table)
        imported = {re.sub(r'\.dll$', '', n.lower()) for n in imports(dll)}
        for name in sorted(imported - IMPORTS):
            print('check-dll: %s imports %s, which is not among: %s' % (dll, name, ' '.join(sorted(IMPORTS))))
            fail = True
        for name in sorted(IMPORTS - imported):
            print('check-dll: %s does not import %s' % (dll, name))
            fail = True
        crt = [s for s in sections(dll) if s.upper().startswith('.CRT')]
        if flav == 'msvc' and crt:
            # No C runtime start-up runs in this flavour: an initialiser
            # (.CRT$XC*) would never be called.
            print('check-dll: %s has C runtime initialiser sections: %s' % (dll, ' '.join(crt)))
            fail = True
        c_ok, c_count = check_c_exports(dll, names)
        fail = fail or not c_ok
        wants = expected(lists, is_64bit(dll))
        for what, test in wants:
            if not test(table):
                print('check-dll: %s does not export %s' % (dll, what))
                fail = True
        if not fail:
            print('check-dll: %s (%s) imports only %s and exports all %d listed members'
                  ' and the %d C functions' % (dll, flav, ','.join(sorted(IMPORTS)), len(wants),
                                               c_count))
        fail = fail or failed_before
    # Two flavours of one architecture export the same members. Left out of
    # the comparison: the array forms of the classes' operator new and
    # delete, which the Visual C++ flavour refuses (quorvel/core.h), and what
    # the headers define inline (placement new and delete, constants), which
    # Visual C++ exports and GCC does not: a host never needs them from the DLL.
    if len(dlls) == 2:
        (fa, ta), (fb, tb) = tables[dlls[0]], tables[dlls[1]]
        inline = re.compile(r'::operator(new|delete)\[\]|::operatornew\([^,]*,void\*\)|'
                            r'::operatordelete\(void\*,void\*\)|^[^(]*$')
        a = {k for k in ta if not inline.search(k)}
        b = {k for k in tb if not inline.search(k)}
        for k in sorted(a - b):
            print('check-dll: only the %s flavour exports %s' % (fa, k))
        for k in sorted(b - a):
            print('check-dll: only the %s flavour exports %s' % (fb, k))
        if a != b:
            fail = True
        else:
            print('check-dll: the %s and %s flavours export the same %d members' % (fa, fb, len(a)))
    sys.exit(1 if fail else 0)


if __name__ == '__main__':
    main()

"""docs/c-api.md against include/quorvel/quorvel_c.h: the table of every
function (names and arguments), the record sizes, and the C# and Python
(ctypes) declarations: every function with the header's arguments in name,
count and type, every record member by member and in size, the callbacks
and the constants.

The Python blocks run here (any platform, without the DLL) with a ctypes
whose Windows types have their Windows sizes (DWORD and long 4 bytes,
wchar_t 2) and whose WinDLL records what is declared and checks each call
of the examples against the argtypes. Records have no pointer member, so
their sizes are those of 32- and 64-bit Windows alike.

Run as: python3 docs_check.py <quorvel_c.h> <c-api.md>
"""
import ast
import contextlib
import ctypes
import io
import re
import sys
import types
from ctypes import wintypes

PROBLEMS = []


def problem(text):
    PROBLEMS.append(text)


def snake(name):
    """The header's spelling of a C# name: timeoutMs -> timeout_ms, @event -> event."""
    return re.sub(r"(?<=[a-z0-9])([A-Z])", r"_\1", name.lstrip("@")).lower()


def camel_type(name):
    """The C# and Python name of a header type: qv_bth_device -> QvBthDevice."""
    return "".join(part.capitalize() for part in name.split("_"))


# ---- The header -----------------------------------------------------------

def parse_header(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)

    def params(args):
        out = []
        for arg in args.split(","):
            m = re.fullmatch(r"\s*(.*?)\s*(\w+)\s*", arg)
            out.append((m.group(2), re.sub(r"\s*\*", "*", m.group(1))))
        return out

    functions = {m.group(1): params(m.group(2))
                 for m in re.finditer(r"QV_C_API DWORD WINAPI (qv_\w+)\(([^)]*)\);", text)}
    procs = {m.group(1): params(m.group(2))
             for m in re.finditer(r"typedef void\s*\(WINAPI\s*\*\s*(qv_\w+)\)\(([^)]*)\);", text)}
    constants = {m.group(1): int(m.group(2), 0)
                 for m in re.finditer(r"#define (QV_\w+) (0x[0-9A-Fa-f]+|\d+)u?\b", text)}
    records = {}
    for m in re.finditer(r"typedef struct (qv_\w+) \{(.*?)\} \1;", text, re.S):
        members = []
        for t, name, count in re.findall(r"(\w+) (\w+)(?:\[(\w+)\])?;", m.group(2)):
            size = {"DWORD": 4, "WORD": 2, "BYTE": 1, "wchar_t": 2, "GUID": 16}[t]
            n = int(constants.get(count, count or 1))
            members.append((name, t, size * n, min(size, 4)))
        records[m.group(1)] = members
    return functions, procs, constants, records


def layout(members):
    """Size of members (size, alignment) laid out with natural alignment."""
    offset, widest = 0, 1
    for size, align in members:
        offset = (offset + align - 1) // align * align + size
        widest = max(widest, align)
    return (offset + widest - 1) // widest * widest


def blocks(page, language):
    return re.findall(r"```%s\n(.*?)```" % language, page, re.S)


# ---- The page's table and sizes -------------------------------------------

def check_table(page, functions, records):
    rows = dict(re.findall(r"^\| `(qv_\w+)\(([^)]*)\)` \|", page, re.M))
    for name, params in functions.items():
        if name not in rows:
            problem("the table of every function lacks %s" % name)
            continue
        listed = [a.strip().lstrip("&") for a in rows[name].split(",") if a.strip()]
        if listed != [p for p, _ in params]:
            problem("the table gives %s(%s); the header has (%s)"
                    % (name, ", ".join(listed), ", ".join(p for p, _ in params)))
    sizes = {k: int(v) for k, v in re.findall(r"^\| `(qv_\w+)` \| (\d+) \|$", page, re.M)}
    for name, members in records.items():
        if name not in sizes:
            problem("the sizes table lacks %s" % name)
        elif layout((s, a) for _, _, s, a in members) != sizes[name]:
            problem("the sizes table gives %s %d bytes; its members make %d"
                    % (name, sizes[name], layout((s, a) for _, _, s, a in members)))
    return sizes


# ---- C# -------------------------------------------------------------------

CS_TYPES = {
    "DWORD": {"uint"}, "UINT": {"uint"}, "BOOL": {"bool", "int"},
    "qv_handle": {"IntPtr"}, "HWND": {"IntPtr"},
    "void*": {"IntPtr", "[Out] byte[]"}, "const void*": {"byte[]", "IntPtr"},
    "const wchar_t*": {"string"}, "wchar_t*": {"[Out] StringBuilder", "[Out] char[]"},
    "DWORD*": {"out uint"}, "BOOL*": {"out bool", "out int"},
    "qv_handle*": {"out IntPtr"}, "HANDLE*": {"out IntPtr"},
    "const GUID*": {"[In] ref Guid", "ref Guid"},
    "const BYTE*": {"byte[]"}, "BYTE*": {"[Out] byte[]"},
}


def cs_expected(ctype, procs, records):
    if ctype in procs:
        return {camel_type(ctype)}
    if ctype.endswith("*") and ctype[:-1] in records:
        return {"ref " + camel_type(ctype[:-1])}
    return CS_TYPES.get(ctype, set())


def cs_params(text):
    """[(name, 'attributes modifier type')] of a C# parameter list."""
    out = []
    for param in filter(None, (p.strip() for p in re.split(r",(?![^\[]*\])", text))):
        words = param.split()
        out.append((words[-1], " ".join(words[:-1])))
    return out


def cs_fields(body):
    fields = []
    for marshal, count, t, name in re.findall(
            r"(?:\[MarshalAs\(UnmanagedType\.(\w+)(?:, SizeConst = (\d+))?\)\]\s*)?"
            r"public (\w+(?:\[\])?) (\w+);", body):
        size, align = {"uint": (4, 4), "int": (4, 4), "ushort": (2, 2), "Guid": (16, 4),
                       "string": (2, 2), "byte[]": (1, 1)}.get(t, (0, 1))
        if t in ("string", "byte[]"):
            wanted = "ByValTStr" if t == "string" else "ByValArray"
            if marshal != wanted or not count:
                problem("C# field %s: %s needs MarshalAs(%s, SizeConst)" % (name, t, wanted))
            size *= int(count or 0)
        elif not size:
            problem("C# field %s has type %s, which no record member has" % (name, t))
        fields.append((snake(name), size, align))
    return fields


def check_csharp(page, functions, procs, constants, records, sizes):
    code = "\n".join(blocks(page, "csharp"))
    declared = {}
    for m in re.finditer(r"\[DllImport\(([^)]*)\)\]\s*public static extern (\w+) (qv_\w+)\(([^)]*)\);",
                         code):
        attributes, result, name, params = m.groups()
        if name in declared:
            problem("C#: %s is declared twice" % name)
        declared[name] = cs_params(params)
        for needed in ("CallingConvention = CallingConvention.Winapi", "CharSet = CharSet.Unicode",
                       "ExactSpelling = true"):
            if needed not in attributes:
                problem("C#: the DllImport of %s lacks %s" % (name, needed))
        if result != "uint":
            problem("C#: %s returns %s, not the uint status" % (name, result))
    delegates = {}
    for m in re.finditer(r"(\[[^\]]*\]\s*)?public delegate void (\w+)\(([^)]*)\);", code):
        if (m.group(1) or "").strip() != "[UnmanagedFunctionPointer(CallingConvention.Winapi)]":
            problem("C#: the delegate %s lacks [UnmanagedFunctionPointer(CallingConvention.Winapi)]"
                    % m.group(2))
        delegates[m.group(2)] = cs_params(m.group(3))
    for name, params in list(functions.items()) + [(camel_type(p), procs[p]) for p in procs]:
        got = declared.pop(name, None) if name in functions else delegates.get(name)
        if got is None:
            problem("C# does not declare %s" % name)
            continue
        if [snake(n) for n, _ in got] != [n for n, _ in params]:
            problem("C#: %s(%s); the header has (%s)" % (name, ", ".join(n for n, _ in got),
                                                         ", ".join(n for n, _ in params)))
            continue
        for (cs_name, cs_type), (c_name, c_type) in zip(got, params):
            if cs_type not in cs_expected(c_type, procs, records):
                problem("C#: %s's %s is %s, which does not carry the header's %s"
                        % (name, cs_name, cs_type, c_type))
    for name in declared:
        problem("C# declares %s, which the header does not" % name)
    structs = {m.group(2): (m.group(1), m.group(3)) for m in re.finditer(
        r"\[StructLayout\(([^)]*)\)\]\s*public struct (\w+) \{(.*?)\n\}", code, re.S)}
    for record, members in records.items():
        attributes, body = structs.get(camel_type(record), (None, None))
        if body is None:
            problem("C# has no struct %s" % camel_type(record))
            continue
        if attributes != "LayoutKind.Sequential, CharSet = CharSet.Unicode":
            problem("C#: %s is laid out with %s" % (camel_type(record), attributes))
        fields = cs_fields(body)
        compare_members("C#", camel_type(record), [(n, s) for n, s, _ in fields], members)
        if layout((s, a) for _, s, a in fields) != sizes.get(record):
            problem("C#: %s makes %d bytes, not %s" % (camel_type(record),
                                                       layout((s, a) for _, s, a in fields),
                                                       sizes.get(record)))
    check_constants("C#", {k: int(v, 0) for k, v in re.findall(
        r"\b(QV_\w+) = (0x[0-9A-Fa-f]+|\d+)\b", code)}, constants)


def compare_members(language, record, fields, members):
    """fields [(name, bytes)] against the header's members, told at the first that differs."""
    wanted = [(n, s) for n, _, s, _ in members]
    for i, (got, want) in enumerate(zip(fields + [None] * len(wanted), wanted + [None] * len(fields))):
        if got != want:
            problem("%s: %s's member %d is %s (name, bytes); the header's is %s"
                    % (language, record, i + 1, got, want))
            return


def check_constants(language, got, constants):
    for name, value in constants.items():
        if got.get(name) != value:
            problem("%s gives %s as %s; the header has %s" % (language, name, got.get(name), value))


# ---- Python (ctypes) ------------------------------------------------------

class FakeFunction:
    """A function of the DLL: its restype and argtypes, and calls checked against them."""
    NO_MORE_ITEMS = 259

    def __init__(self, name):
        self.name, self.argtypes, self.restype, self.calls = name, None, None, 0

    def __call__(self, *args):
        if self.argtypes is None or self.restype is None:
            raise TypeError("%s is called before its restype and argtypes are set" % self.name)
        if len(args) != len(self.argtypes):
            raise TypeError("%s takes %d arguments, not %d" % (self.name, len(self.argtypes), len(args)))
        for i, (kind, arg) in enumerate(zip(self.argtypes, args)):
            try:
                kind.from_param(arg)
            except Exception as e:
                raise TypeError("%s's argument %d: %s" % (self.name, i + 1, e))
        self.calls += 1  # success three times, then none left: the examples' loops end
        return 0 if self.calls <= 3 else self.NO_MORE_ITEMS


class FakeDLL:
    def __init__(self, name):
        self._functions = {}

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return self._functions.setdefault(name, FakeFunction(name))


def refuse(what):
    def refused(*args, **kwargs):
        raise TypeError("%s calls with cdecl; the DLL's functions and callbacks are WINAPI" % what)
    return refused


def windows_ctypes():
    """ctypes and ctypes.wintypes as 32- and 64-bit Windows have them, with a recording WinDLL."""
    fake = types.ModuleType("ctypes")
    fake.__dict__.update(ctypes.__dict__)
    fake.c_long, fake.c_ulong, fake.c_wchar = ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint16
    fake.WinDLL, fake.WINFUNCTYPE = FakeDLL, ctypes.CFUNCTYPE
    fake.CDLL, fake.CFUNCTYPE = refuse("CDLL"), refuse("CFUNCTYPE")
    fake.cdll = fake.windll = None
    wt = types.ModuleType("ctypes.wintypes")
    wt.__dict__.update(wintypes.__dict__)
    for name, kind in {"DWORD": ctypes.c_uint32, "ULONG": ctypes.c_uint32, "UINT": ctypes.c_uint32,
                       "LONG": ctypes.c_int32, "BOOL": ctypes.c_int32, "INT": ctypes.c_int32,
                       "WORD": ctypes.c_uint16, "WCHAR": ctypes.c_uint16, "BYTE": ctypes.c_ubyte,
                       "HANDLE": ctypes.c_void_p, "HWND": ctypes.c_void_p}.items():
        setattr(wt, name, kind)
    fake.wintypes = wt
    return fake


def shape(kind):
    """What a ctypes type carries, comparable with c_shape."""
    if kind is None:
        return "void"
    if kind in (ctypes.c_void_p, ctypes.c_wchar_p):
        return {ctypes.c_void_p: "ptr", ctypes.c_wchar_p: "wstr"}[kind]
    if isinstance(kind, type(ctypes.POINTER(ctypes.c_int))):
        return ("*", shape(kind._type_))
    if issubclass(kind, ctypes.Structure):
        return kind.__name__.lower()
    if hasattr(kind, "_argtypes_"):
        return ("fn", shape(kind._restype_)) + tuple(shape(a) for a in kind._argtypes_)
    if issubclass(kind, ctypes._SimpleCData) and kind._type_ in "bBhHiIlLqQ":
        return ("int", ctypes.sizeof(kind))
    return repr(kind)


def c_shape(ctype, procs):
    ctype = ctype.replace("const ", "")
    if ctype in procs:
        return ("fn", "void") + tuple(c_shape(t, procs) for _, t in procs[ctype])
    if ctype in ("void*", "qv_handle", "HWND", "HANDLE"):
        return "ptr"
    if ctype == "wchar_t*":
        return "wstr"
    if ctype.endswith("*"):
        return ("*", c_shape(ctype[:-1], procs))
    if ctype in ("DWORD", "UINT", "BOOL", "WORD", "BYTE"):
        return ("int", {"WORD": 2, "BYTE": 1}.get(ctype, 4))
    return ctype.replace("_", "").lower()


def check_python(page, functions, procs, constants, records, sizes):
    code = "\n".join(blocks(page, "python"))
    fake, saved = windows_ctypes(), {k: sys.modules.get(k) for k in ("ctypes", "ctypes.wintypes")}
    sys.modules["ctypes"], sys.modules["ctypes.wintypes"] = fake, fake.wintypes
    space = {}
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            exec(compile(code, "docs/c-api.md (python)", "exec"), space)
    except Exception as e:
        problem("the Python blocks fail: %s: %s" % (type(e).__name__, e))
    finally:
        for k, v in saved.items():
            sys.modules[k] = v
    qv = next((v for v in space.values() if isinstance(v, FakeDLL)), None)
    if qv is None:
        problem("the Python blocks load no WinDLL")
        return
    names = {}
    for call in ast.walk(ast.parse(code)):
        if isinstance(call, ast.Call) and getattr(call.func, "id", None) == "declare":
            names[call.args[0].value] = [k.arg for k in call.keywords]
    declared = dict(qv._functions)
    for name, params in functions.items():
        function = declared.pop(name, None)
        if function is None or function.argtypes is None:
            problem("Python does not declare %s" % name)
            continue
        if shape(function.restype) != ("int", 4):
            problem("Python: %s's restype is %s, not the DWORD status" % (name, function.restype))
        if name in names and names[name] != [n for n, _ in params]:
            problem("Python: %s(%s); the header has (%s)" % (name, ", ".join(names[name]),
                                                             ", ".join(n for n, _ in params)))
        got = [shape(a) for a in function.argtypes]
        wanted = [c_shape(t, procs) for _, t in params]
        if got != wanted:
            problem("Python: %s's argtypes carry %s; the header's arguments %s" % (name, got, wanted))
    for name in declared:
        problem("Python declares %s, which the header does not" % name)
    for record, members in records.items():
        struct = space.get(camel_type(record))
        if not (isinstance(struct, type) and issubclass(struct, ctypes.Structure)):
            problem("Python has no Structure %s" % camel_type(record))
            continue
        compare_members("Python", camel_type(record),
                        [(n, ctypes.sizeof(t)) for n, t in struct._fields_], members)
        if ctypes.sizeof(struct) != sizes.get(record):
            problem("Python: %s makes %d bytes, not %s"
                    % (camel_type(record), ctypes.sizeof(struct), sizes.get(record)))
    for proc, params in procs.items():
        kind = space.get(camel_type(proc))
        if kind is None or shape(kind) != c_shape(proc, procs):
            problem("Python: the callback type %s is %s, not %s"
                    % (camel_type(proc), kind and shape(kind), c_shape(proc, procs)))
    check_constants("Python", {k: v for k, v in space.items() if k.startswith("QV_")}, constants)


def main(header_path, page_path):
    with open(header_path, encoding="utf-8") as f:
        functions, procs, constants, records = parse_header(f.read())
    with open(page_path, encoding="utf-8") as f:
        page = f.read()
    if not functions or not records or not procs:
        problem("the header declares no functions, records or callbacks that this check can read")
    sizes = check_table(page, functions, records)
    check_csharp(page, functions, procs, constants, records, sizes)
    check_python(page, functions, procs, constants, records, sizes)
    for text in PROBLEMS:
        print("docs/c-api.md: " + text)
    print("docs/c-api.md: %d functions, %d records, %d callbacks, %d constants checked: %s"
          % (len(functions), len(records), len(procs), len(constants),
             "%d problems" % len(PROBLEMS) if PROBLEMS else "all match the header"))
    return 1 if PROBLEMS else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))

// The pieces of a Visual C++ runtime that code generated in MSVC mode calls
// by itself: the stack probe for frames of a page or more and the
// floating-point marker. Linked into the DLL of the Visual C++ flavour and
// into its host programs, none of which has a Visual C++ runtime.

extern "C" {
// The compiler refers to it wherever floating point is used.
int _fltused = 0;
}

// The stack probe that the compiler calls for frames of a page or more: it
// touches each page in turn, so the guard page below the stack grows it one
// page at a time. EAX/RAX holds the frame size; every other register stays.
#if defined(_M_IX86)
// 32-bit: also moves ESP down by EAX, as the Visual C++ _chkstk does.
__asm__(
    ".globl __chkstk\n"
    "__chkstk:\n"
    "    pushl %ecx\n"
    "    cmpl $0x1000, %eax\n"
    "    leal 8(%esp), %ecx\n"
    "    jb 2f\n"
    "1:  subl $0x1000, %ecx\n"
    "    testl %ecx, (%ecx)\n"
    "    subl $0x1000, %eax\n"
    "    cmpl $0x1000, %eax\n"
    "    ja 1b\n"
    "2:  subl %eax, %ecx\n"
    "    testl %ecx, (%ecx)\n"
    "    leal 4(%esp), %eax\n"
    "    movl %ecx, %esp\n"
    "    movl -4(%eax), %ecx\n"
    "    pushl (%eax)\n"
    "    subl %esp, %eax\n"
    "    ret\n");
#elif defined(_M_X64)
// 64-bit: only probes; the caller moves RSP itself.
__asm__(
    ".globl __chkstk\n"
    "__chkstk:\n"
    "    pushq %rcx\n"
    "    pushq %rax\n"
    "    cmpq $0x1000, %rax\n"
    "    leaq 24(%rsp), %rcx\n"
    "    jb 2f\n"
    "1:  subq $0x1000, %rcx\n"
    "    testq %rcx, (%rcx)\n"
    "    subq $0x1000, %rax\n"
    "    cmpq $0x1000, %rax\n"
    "    ja 1b\n"
    "2:  subq %rax, %rcx\n"
    "    testq %rcx, (%rcx)\n"
    "    popq %rax\n"
    "    popq %rcx\n"
    "    ret\n");
#endif

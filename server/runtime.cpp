// The few routines that the compiler emits calls to on its own. Kelmo7 links no
// language runtime, so they live here, once. This file is compiled with
// -fno-builtin and -fno-tree-loop-distribute-patterns so that the loops below
// are never turned back into calls to the routines they implement.
#include <stddef.h>

extern "C" {

void* memset(void* destination, int value, size_t count)
{
    unsigned char* out = static_cast<unsigned char*>(destination);
    while (count--)
        *out++ = static_cast<unsigned char>(value);
    return destination;
}

void* memcpy(void* destination, const void* source, size_t count)
{
    unsigned char* out = static_cast<unsigned char*>(destination);
    const unsigned char* in = static_cast<const unsigned char*>(source);
    while (count--)
        *out++ = *in++;
    return destination;
}

}  // extern "C"

// Stack probe for frames larger than a page. The compiler passes the frame size
// in eax/rax and subtracts it from the stack pointer itself after the call; the
// probe touches every page from the current top downwards so that the guard page
// is met in order. Every register is preserved.
#if defined(__x86_64__)
__asm__(
    ".text\n"
    ".globl ___chkstk_ms\n"
    "___chkstk_ms:\n"
    "    pushq %rcx\n"
    "    pushq %rax\n"
    "    leaq  24(%rsp), %rcx\n"  // stack pointer of the caller before the call
    "1:  cmpq  $0x1000, %rax\n"
    "    jb    2f\n"
    "    subq  $0x1000, %rcx\n"
    "    testq %rcx, (%rcx)\n"
    "    subq  $0x1000, %rax\n"
    "    jmp   1b\n"
    "2:  subq  %rax, %rcx\n"
    "    testq %rcx, (%rcx)\n"
    "    popq  %rax\n"
    "    popq  %rcx\n"
    "    ret\n");
#elif defined(__i386__)
__asm__(
    ".text\n"
    ".globl ___chkstk_ms\n"
    "___chkstk_ms:\n"
    "    pushl %ecx\n"
    "    pushl %eax\n"
    "    leal  12(%esp), %ecx\n"  // stack pointer of the caller before the call
    "1:  cmpl  $0x1000, %eax\n"
    "    jb    2f\n"
    "    subl  $0x1000, %ecx\n"
    "    testl %ecx, (%ecx)\n"
    "    subl  $0x1000, %eax\n"
    "    jmp   1b\n"
    "2:  subl  %eax, %ecx\n"
    "    testl %ecx, (%ecx)\n"
    "    popl  %eax\n"
    "    popl  %ecx\n"
    "    ret\n");
#else
#error "unsupported target"
#endif

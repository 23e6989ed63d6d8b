// Execution-state switch for i386: Linux and i686 Windows (cdecl helpers).
// ExecState layout: ebx esi edi ebp esp eip (4 bytes each), mxcsr (4), x87
// control word (2, padded to 4); on Windows then the thread information block
// words fs:[0] exception-chain head, fs:[4] stack base, fs:[8] stack limit.
// Windows checks exception registrations and stack probes against those
// words, so there each side of the switch carries its own.
#if defined(_WIN32)
#define SYM(name) _##name
#define FUNCTION(name) .globl SYM(name); .def SYM(name); .scl 2; .type 32; .endef; SYM(name):
#define END(name)
#else
#define SYM(name) name
#define FUNCTION(name) .globl name; .hidden name; .type name, @function; name:
#define END(name) .size name, .-name
#endif

        .text

FUNCTION(SaveState)
        movl    4(%esp), %ecx
        movl    %ebx, 0(%ecx)
        movl    %esi, 4(%ecx)
        movl    %edi, 8(%ecx)
        movl    %ebp, 12(%ecx)
        leal    4(%esp), %edx           // stack pointer after our return
        movl    %edx, 16(%ecx)
        movl    (%esp), %edx            // resume point: our return address
        movl    %edx, 20(%ecx)
        stmxcsr 24(%ecx)
        fnstcw  28(%ecx)
#if defined(_WIN32)
        movl    %fs:0, %edx
        movl    %edx, 32(%ecx)
        movl    %fs:4, %edx
        movl    %edx, 36(%ecx)
        movl    %fs:8, %edx
        movl    %edx, 40(%ecx)
#endif
        xorl    %eax, %eax
        ret
END(SaveState)

FUNCTION(ResumeState)
        movl    4(%esp), %ecx
        movl    8(%esp), %eax
        testl   %eax, %eax
        jnz     1f
        movl    $1, %eax                // a resumed SaveState never returns 0
1:
#if defined(_WIN32)
        movl    32(%ecx), %edx
        movl    %edx, %fs:0
        movl    36(%ecx), %edx
        movl    %edx, %fs:4
        movl    40(%ecx), %edx
        movl    %edx, %fs:8
#endif
        movl    0(%ecx), %ebx
        movl    4(%ecx), %esi
        movl    8(%ecx), %edi
        movl    12(%ecx), %ebp
        ldmxcsr 24(%ecx)
        fldcw   28(%ecx)
        movl    16(%ecx), %esp
        jmpl    *20(%ecx)
END(ResumeState)

// StartOnStack(stack top, entry, argument, stack limit): never returns.
// On Windows the job starts with its own stack bounds and an empty exception
// chain (-1); elsewhere the stack limit is not needed.
FUNCTION(StartOnStack)
        movl    4(%esp), %eax           // stack top
#if defined(_WIN32)
        movl    16(%esp), %ecx          // stack limit
        movl    %ecx, %fs:8
        movl    %eax, %fs:4
        movl    $-1, %fs:0
#endif
        movl    8(%esp), %ecx
        movl    12(%esp), %edx
        movl    %eax, %esp
        andl    $-16, %esp
        subl    $12, %esp
        xorl    %ebp, %ebp
        pushl   %edx
        calll   *%ecx
        ud2
END(StartOnStack)

#if !defined(_WIN32)
        .section .note.GNU-stack,"",@progbits
#endif

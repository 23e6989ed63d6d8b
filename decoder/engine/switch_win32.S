// Execution-state switch for i686 Windows (cdecl helpers, mingw symbol names).
// ExecState layout: ebx esi edi ebp esp eip (4 bytes each), mxcsr (4), x87
// control word (2, padded to 4), then the thread information block words
// fs:[0] exception-chain head, fs:[4] stack base, fs:[8] stack limit.
// The system checks exception registrations and stack probes against those
// words, so each side of the switch carries its own.
        .text

        .globl  _SaveState
        .def    _SaveState; .scl 2; .type 32; .endef
_SaveState:
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
        movl    %fs:0, %edx
        movl    %edx, 32(%ecx)
        movl    %fs:4, %edx
        movl    %edx, 36(%ecx)
        movl    %fs:8, %edx
        movl    %edx, 40(%ecx)
        xorl    %eax, %eax
        ret

        .globl  _ResumeState
        .def    _ResumeState; .scl 2; .type 32; .endef
_ResumeState:
        movl    4(%esp), %ecx
        movl    8(%esp), %eax
        testl   %eax, %eax
        jnz     1f
        movl    $1, %eax                // a resumed SaveState never returns 0
1:      movl    32(%ecx), %edx
        movl    %edx, %fs:0
        movl    36(%ecx), %edx
        movl    %edx, %fs:4
        movl    40(%ecx), %edx
        movl    %edx, %fs:8
        movl    0(%ecx), %ebx
        movl    4(%ecx), %esi
        movl    8(%ecx), %edi
        movl    12(%ecx), %ebp
        ldmxcsr 24(%ecx)
        fldcw   28(%ecx)
        movl    16(%ecx), %esp
        jmpl    *20(%ecx)

// StartOnStack(stack top, entry, argument, stack limit): never returns.
// The job starts with its own stack bounds and an empty exception chain (-1).
        .globl  _StartOnStack
        .def    _StartOnStack; .scl 2; .type 32; .endef
_StartOnStack:
        movl    16(%esp), %eax          // stack limit
        movl    %eax, %fs:8
        movl    4(%esp), %eax           // stack top
        movl    %eax, %fs:4
        movl    8(%esp), %ecx
        movl    12(%esp), %edx
        movl    $-1, %fs:0
        movl    %eax, %esp
        andl    $-16, %esp
        subl    $12, %esp
        xorl    %ebp, %ebp
        pushl   %edx
        calll   *%ecx
        ud2

// Execution-state switch for i386 (cdecl helpers).
// ExecState layout: ebx esi edi ebp esp eip (4 bytes each), mxcsr (4), x87 control word (2).
        .text
        .globl  SaveState
        .hidden SaveState
        .type   SaveState, @function
SaveState:
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
        xorl    %eax, %eax
        ret
        .size   SaveState, .-SaveState

        .globl  ResumeState
        .hidden ResumeState
        .type   ResumeState, @function
ResumeState:
        movl    4(%esp), %ecx
        movl    8(%esp), %eax
        testl   %eax, %eax
        jnz     1f
        movl    $1, %eax                // a resumed SaveState never returns 0
1:      movl    0(%ecx), %ebx
        movl    4(%ecx), %esi
        movl    8(%ecx), %edi
        movl    12(%ecx), %ebp
        ldmxcsr 24(%ecx)
        fldcw   28(%ecx)
        movl    16(%ecx), %esp
        jmpl    *20(%ecx)
        .size   ResumeState, .-ResumeState

// StartOnStack(stack top, entry, argument): never returns.
        .globl  StartOnStack
        .hidden StartOnStack
        .type   StartOnStack, @function
StartOnStack:
        movl    4(%esp), %eax
        movl    8(%esp), %ecx
        movl    12(%esp), %edx
        movl    %eax, %esp
        andl    $-16, %esp
        subl    $12, %esp
        xorl    %ebp, %ebp
        pushl   %edx
        calll   *%ecx
        ud2
        .size   StartOnStack, .-StartOnStack

        .section .note.GNU-stack,"",@progbits

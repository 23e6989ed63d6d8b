// Execution-state switch for x86_64 (System V).
// ExecState layout: rbx rbp r12 r13 r14 r15 rsp rip (8 bytes each), mxcsr (4), x87 control word (2).
        .text
        .globl  SaveState
        .hidden SaveState
        .type   SaveState, @function
SaveState:
        movq    %rbx, 0(%rdi)
        movq    %rbp, 8(%rdi)
        movq    %r12, 16(%rdi)
        movq    %r13, 24(%rdi)
        movq    %r14, 32(%rdi)
        movq    %r15, 40(%rdi)
        leaq    8(%rsp), %rdx           // stack pointer after our return
        movq    %rdx, 48(%rdi)
        movq    (%rsp), %rdx            // resume point: our return address
        movq    %rdx, 56(%rdi)
        stmxcsr 64(%rdi)
        fnstcw  68(%rdi)
        xorl    %eax, %eax
        ret
        .size   SaveState, .-SaveState

        .globl  ResumeState
        .hidden ResumeState
        .type   ResumeState, @function
ResumeState:
        movl    %esi, %eax
        testl   %eax, %eax
        jnz     1f
        movl    $1, %eax                // a resumed SaveState never returns 0
1:      movq    0(%rdi), %rbx
        movq    8(%rdi), %rbp
        movq    16(%rdi), %r12
        movq    24(%rdi), %r13
        movq    32(%rdi), %r14
        movq    40(%rdi), %r15
        // Control words are reloaded only when they differ: loading them costs
        // more than comparing.
        subq    $8, %rsp
        stmxcsr (%rsp)
        fnstcw  4(%rsp)
        movl    (%rsp), %ecx
        cmpl    64(%rdi), %ecx
        je      2f
        ldmxcsr 64(%rdi)
2:      movzwl  4(%rsp), %ecx
        cmpw    68(%rdi), %cx
        je      3f
        fldcw   68(%rdi)
3:      movq    48(%rdi), %rsp
        jmpq    *56(%rdi)
        .size   ResumeState, .-ResumeState

// StartOnStack(stack top, entry, argument): never returns.
        .globl  StartOnStack
        .hidden StartOnStack
        .type   StartOnStack, @function
StartOnStack:
        movq    %rdi, %rsp
        andq    $-16, %rsp
        xorl    %ebp, %ebp
        movq    %rdx, %rdi
        callq   *%rsi
        ud2
        .size   StartOnStack, .-StartOnStack

        .section .note.GNU-stack,"",@progbits

// Execution-state switch for aarch64 (AAPCS64, Linux).
// ExecState layout (8 bytes each): x19-x28 at 0-72, fp (x29) 80, lr (x30) 88
// (the resume point), sp 96, d8-d15 104-160, fpcr 168.
// Only the low halves of v8-v15 are callee-saved, so d8-d15 suffice.
        .text

        .globl  SaveState
        .hidden SaveState
        .type   SaveState, %function
        .p2align 2
SaveState:
        stp     x19, x20, [x0, #0]
        stp     x21, x22, [x0, #16]
        stp     x23, x24, [x0, #32]
        stp     x25, x26, [x0, #48]
        stp     x27, x28, [x0, #64]
        stp     x29, x30, [x0, #80]
        mov     x1, sp
        str     x1, [x0, #96]
        stp     d8, d9, [x0, #104]
        stp     d10, d11, [x0, #120]
        stp     d12, d13, [x0, #136]
        stp     d14, d15, [x0, #152]
        mrs     x1, fpcr
        str     x1, [x0, #168]
        mov     w0, #0
        ret
        .size   SaveState, .-SaveState

        .globl  ResumeState
        .hidden ResumeState
        .type   ResumeState, %function
        .p2align 2
ResumeState:
        cmp     w1, #0
        csinc   w2, w1, wzr, ne         // a resumed SaveState never returns 0
        ldp     x19, x20, [x0, #0]
        ldp     x21, x22, [x0, #16]
        ldp     x23, x24, [x0, #32]
        ldp     x25, x26, [x0, #48]
        ldp     x27, x28, [x0, #64]
        ldp     x29, x30, [x0, #80]
        ldp     d8, d9, [x0, #104]
        ldp     d10, d11, [x0, #120]
        ldp     d12, d13, [x0, #136]
        ldp     d14, d15, [x0, #152]
        // The control register is written only when it differs: writing it
        // can stall the pipeline, comparing cannot.
        ldr     x1, [x0, #168]
        mrs     x3, fpcr
        cmp     x1, x3
        b.eq    1f
        msr     fpcr, x1
1:      ldr     x1, [x0, #96]
        mov     sp, x1
        mov     w0, w2
        ret                             // to the saved lr
        .size   ResumeState, .-ResumeState

// StartOnStack(stack top, entry, argument, stack limit): never returns.
        .globl  StartOnStack
        .hidden StartOnStack
        .type   StartOnStack, %function
        .p2align 2
StartOnStack:
        and     x0, x0, #-16
        mov     sp, x0
        mov     x29, #0                 // end of the frame chain for unwinders
        mov     x30, #0
        mov     x0, x2
        blr     x1
        brk     #0x3e8
        .size   StartOnStack, .-StartOnStack

        .section .note.GNU-stack,"",%progbits

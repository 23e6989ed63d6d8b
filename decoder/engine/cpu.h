// Loops built a second time for newer x86 instructions (SSSE3, BMI2), with
// the processor's support asked at run time: QV_CPU_HAS("bmi2") is a plain
// load of libgcc's cpu model (no guarded static: the library needs the C
// library alone). Elsewhere QV_X86_VARIANTS is 0 and only the plain loops
// are built.
#pragma once

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QV_X86_VARIANTS 1
#define QV_CPU_HAS(feature) __builtin_cpu_supports(feature)
#else
#define QV_X86_VARIANTS 0
#endif

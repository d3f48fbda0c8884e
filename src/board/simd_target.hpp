// Where the AVX2 path exists, and how code is compiled for it.
//
// The build stays generic x86-64: only the code between VELTRIX_AVX2_BEGIN and VELTRIX_AVX2_END
// may use AVX2, BMI1/2 and LZCNT, and runs only after the processor was found to have them.
// Headers that region includes must be included before it, so that inline functions shared
// with the rest of the build keep their generic code (the linker keeps one copy of each).
#pragma once

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define VELTRIX_AVX2_PATH 1
#define VELTRIX_AVX2_FEATURES "avx2,bmi,bmi2,lzcnt,popcnt"
#if defined(__clang__)
#define VELTRIX_AVX2_BEGIN                                                                                   \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,bmi,bmi2,lzcnt,popcnt\"))), apply_to = function)")
#define VELTRIX_AVX2_END _Pragma("clang attribute pop")
#else
#define VELTRIX_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi,bmi2,lzcnt,popcnt\")")
#define VELTRIX_AVX2_END _Pragma("GCC pop_options")
#endif
#else
#define VELTRIX_AVX2_PATH 0
#endif

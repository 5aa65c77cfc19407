// Forced into the fuzzing build (clang): older clang releases do not know
// the "f16c" feature name, so that build always takes the software
// half-precision kernels. tools/f16_check keeps the two kernels in step.
#pragma once
#define __builtin_cpu_supports(feature) 0

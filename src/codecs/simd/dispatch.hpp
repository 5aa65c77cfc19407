// The once-per-process choice of text kernels: AVX2 where the CPU has it,
// otherwise the SSE2 baseline every x86-64 CPU runs. A build with
// FIELDLOOM_BASELINE_KERNELS keeps to the baseline, so that a machine with
// AVX2 can test it.
#pragma once

namespace fieldloom {
namespace text_detail {

// Whether the AVX2 kernels may run; chosen once, when the module is loaded.
inline const bool kHaveAvx2 = [] {
#ifdef FIELDLOOM_BASELINE_KERNELS
    return false;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#endif
}();

}  // namespace text_detail
}  // namespace fieldloom

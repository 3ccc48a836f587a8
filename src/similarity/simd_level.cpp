#include "similarity/simd_level.hpp"

#include <cstdlib>

namespace corvane::similarity {

SimdLevel supported_simd_level() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    // libgcc's answers include the operating system's consent (XCR0) to
    // the register state each set needs.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl"))
        return SimdLevel::avx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::avx2;
#endif
    return SimdLevel::scalar;
}

SimdLevel resolve_simd_level(const char* requested, SimdLevel best) noexcept {
    if (requested == nullptr || *requested == '\0') return best;
    const std::string_view want(requested);
    SimdLevel level = SimdLevel::scalar;
    if (want == "avx512")
        level = SimdLevel::avx512;
    else if (want == "avx2")
        level = SimdLevel::avx2;
    return static_cast<int>(level) < static_cast<int>(best) ? level : best;
}

SimdLevel simd_level() noexcept {
    static const SimdLevel level = resolve_simd_level(std::getenv("CORVANE_SIMD"), supported_simd_level());
    return level;
}

std::string_view simd_level_name(SimdLevel level) noexcept {
    switch (level) {
        case SimdLevel::avx512:
            return "avx512";
        case SimdLevel::avx2:
            return "avx2";
        case SimdLevel::scalar:
            break;
    }
    return "scalar";
}

}  // namespace corvane::similarity

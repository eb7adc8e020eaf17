// Choice of the instruction-set level of the autocallable engine, by what the processor runs.
#include "velmora/simd.hpp"

#include <atomic>
#include <stdexcept>

namespace velmora {

namespace {

bool runs(SimdLevel level) {
    switch (level) {
    case SimdLevel::portable:
        return true;
    case SimdLevel::avx2:
#if defined(VELMORA_HAVE_AVX2)
        // libgcc's check covers the operating system's support of the wide registers too.
        return __builtin_cpu_supports("avx2");
#else
        return false;
#endif
    case SimdLevel::avx512:
#if defined(VELMORA_HAVE_AVX512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
#else
        return false;
#endif
    }
    return false;
}

SimdLevel highest() {
    SimdLevel best = SimdLevel::portable;
    for (SimdLevel l : simd_levels())
        best = l;
    return best;
}

std::atomic<int>& chosen() {
    static std::atomic<int> level{static_cast<int>(highest())};
    return level;
}

} // namespace

std::vector<SimdLevel> simd_levels() {
    std::vector<SimdLevel> out;
    for (SimdLevel l : {SimdLevel::portable, SimdLevel::avx2, SimdLevel::avx512})
        if (runs(l))
            out.push_back(l);
    return out;
}

SimdLevel simd_level() { return static_cast<SimdLevel>(chosen().load()); }

void set_simd_level(SimdLevel level) {
    if (!runs(level))
        throw std::invalid_argument(std::string("instruction set '") + simd_name(level) +
                                    "' is not available on this processor or in this build");
    chosen().store(static_cast<int>(level));
}

const char* simd_name(SimdLevel level) {
    switch (level) {
    case SimdLevel::portable:
        return "portable";
    case SimdLevel::avx2:
        return "avx2";
    case SimdLevel::avx512:
        return "avx512";
    }
    return "unknown";
}

SimdLevel simd_level_named(const std::string& name) {
    for (SimdLevel l : {SimdLevel::portable, SimdLevel::avx2, SimdLevel::avx512})
        if (name == simd_name(l))
            return l;
    throw std::invalid_argument("unknown instruction set '" + name +
                                "'; accepted values: portable, avx2, avx512");
}

} // namespace velmora

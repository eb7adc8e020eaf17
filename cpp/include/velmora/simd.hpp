// Which instruction set the autocallable engine runs on.  Every level gives the same bits;
// a lower level can be forced (for tests, or to compare speeds).
#pragma once

#include <string>
#include <vector>

namespace velmora {

enum class SimdLevel { portable = 0, avx2 = 1, avx512 = 2 };

// The levels this build has and this processor runs, lowest first ("portable" always).
std::vector<SimdLevel> simd_levels();

// The level in use: the highest available, unless another was set.
SimdLevel simd_level();

// Use `level` from now on, in every thread.  Throws std::invalid_argument when the build or
// the processor does not have it.
void set_simd_level(SimdLevel level);

const char* simd_name(SimdLevel level);

// "portable", "avx2" or "avx512"; throws std::invalid_argument for any other name.
SimdLevel simd_level_named(const std::string& name);

} // namespace velmora

// Size arithmetic that refuses to wrap around.
#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

namespace velmora {

// a * b, or std::length_error naming `what` when the product does not fit in a size_t.
inline std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
    if (b != 0 && a > std::numeric_limits<std::size_t>::max() / b)
        throw std::length_error(std::string(what) + ": " + std::to_string(a) + " x " +
                                std::to_string(b) + " does not fit in memory");
    return a * b;
}

// a + b, checked the same way.
inline std::size_t checked_add(std::size_t a, std::size_t b, const char* what) {
    if (a > std::numeric_limits<std::size_t>::max() - b)
        throw std::length_error(std::string(what) + ": " + std::to_string(a) + " + " +
                                std::to_string(b) + " does not fit in memory");
    return a + b;
}

} // namespace velmora

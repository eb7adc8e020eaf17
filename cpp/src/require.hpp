// The input check every solver entry shares: a false condition is a caller's error.
#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

// Throws std::invalid_argument(message) unless `ok`.
inline void require(bool ok, const std::string& message) {
    if (!ok)
        throw std::invalid_argument(message);
}

} // namespace velmora

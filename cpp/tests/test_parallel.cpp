// The block loop: every block once, for any thread count; a failure reaches the caller.
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "velmora/parallel.hpp"

using namespace velmora;

int main() {
    for (unsigned threads : {0u, 1u, 2u, 5u, 64u}) {
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
            std::vector<std::atomic<int>> seen(n);
            for_each_block(n, threads, [&](std::size_t b) { seen[b].fetch_add(1); });
            bool once = true;
            for (auto& s : seen)
                once = once && s.load() == 1;
            CHECK(once, "threads " + std::to_string(threads) + ", blocks " + std::to_string(n));
        }
        CHECK_THROWS(std::runtime_error, for_each_block(50, threads, [](std::size_t b) {
                         if (b == 17)
                             throw std::runtime_error("block 17");
                     }));
    }
    return check::summary("test_parallel");
}

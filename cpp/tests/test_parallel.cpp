// The block loop: every block once, for any thread count; a failure reaches the caller.
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "check.hpp"
#include "velmora/parallel.hpp"

using namespace velmora;

namespace {

bool each_block_once(std::size_t n, unsigned threads) {
    std::vector<std::atomic<int>> seen(n);
    for_each_block(n, threads, [&](std::size_t b) { seen[b].fetch_add(1); });
    bool once = true;
    for (auto& s : seen)
        once = once && s.load() == 1;
    return once;
}

#ifdef __linux__
// With the address space capped a little above what the process uses, only a few thread
// stacks fit: starting 4096 threads fails part way, and the loop must still finish.
void refused_threads() {
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1)
            pages = 0;
        std::fclose(f);
    }
    CHECK(pages > 0, "virtual size of the process");
    rlimit before{};
    getrlimit(RLIMIT_AS, &before);
    const rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (96u << 20);
    rlimit capped = before;
    capped.rlim_cur = cap;
    CHECK(setrlimit(RLIMIT_AS, &capped) == 0, "cap the address space");
    const bool once = each_block_once(20000, 4096);
    setrlimit(RLIMIT_AS, &before);
    CHECK(once, "4096 threads asked for under a capped address space");
}
#endif

} // namespace

int main() {
    for (unsigned threads : {0u, 1u, 2u, 5u, 64u}) {
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{1000}})
            CHECK(each_block_once(n, threads),
                  "threads " + std::to_string(threads) + ", blocks " + std::to_string(n));
        CHECK_THROWS(std::runtime_error, for_each_block(50, threads, [](std::size_t b) {
                         if (b == 17)
                             throw std::runtime_error("block 17");
                     }));
    }
#ifdef __linux__
    refused_threads();
#endif
    return check::summary("test_parallel");
}

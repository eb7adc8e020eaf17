// Deterministic parallel loop over fixed blocks of work.
#include "velmora/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora {

void for_each_block(std::size_t n_blocks, unsigned threads,
                    const std::function<void(std::size_t)>& body) {
    if (n_blocks == 0)
        return;
    const std::size_t workers =
        std::min<std::size_t>(std::max(threads, 1u), n_blocks);
    if (workers == 1) {
        for (std::size_t b = 0; b < n_blocks; ++b)
            body(b);
        return;
    }
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto work = [&] {
        try {
            for (std::size_t b; (b = next.fetch_add(1)) < n_blocks;)
                body(b);
        } catch (...) {
            std::lock_guard<std::mutex> guard(failure_lock);
            if (!failure)
                failure = std::current_exception();
            next.store(n_blocks);
        }
    };
    std::vector<std::thread> pool;
    try {
        pool.reserve(workers - 1);
        for (std::size_t t = 1; t < workers; ++t)
            pool.emplace_back(work);
    } catch (...) {
        // The system refused another thread (address space, thread limit): the threads
        // already started and the calling thread share all the blocks.  Which thread runs
        // a block does not change the result.
    }
    work();
    for (auto& th : pool)
        th.join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace velmora

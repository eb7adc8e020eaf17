// Deterministic parallel loop over fixed blocks of work.
#pragma once

#include <cstddef>
#include <functional>

namespace velmora {

// Calls `body(block)` once for every block in [0, n_blocks), spread over up to `threads`
// threads (the calling thread included; 0 is treated as 1; never more threads than
// blocks).  When the system refuses to start a thread, the threads already running do the
// work, with the same result.  Which thread runs a block is
// not fixed, so `body` must write its result into a slot of its own; reducing the slots in
// block order afterwards gives the same bits for any thread count.
void for_each_block(std::size_t n_blocks, unsigned threads,
                    const std::function<void(std::size_t)>& body);

} // namespace velmora

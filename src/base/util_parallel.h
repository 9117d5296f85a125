// util: fork-join over a range of indices (the standard library only).
//
// One pool of worker threads serves the whole program. It is made on first
// use, one worker fewer than the hardware has threads (at most 15), and lives
// as long as the process: waking a sleeping worker costs a few microseconds
// where starting a thread costs tens, as much as halving a 4K picture on
// eight cores. The calling thread always takes part, so a worker the system
// is slow to wake, or one busy with another caller's work, delays nothing.
//
// Failures: when a worker cannot be started (the system refuses a thread),
// the pool keeps those it has, down to none, and the work runs on the calling
// thread; no error from starting threads ever reaches a caller. An exception
// thrown by the work itself ends the call once every chunk already begun has
// ended: chunks not yet begun are skipped, and the first exception is
// rethrown on the calling thread, as the same loop run serially would have.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace util {

struct Split {
    // How many consecutive chunks [0, items) is cut into, each of
    // ⌈items / chunks⌉ indices but the last; 0: one per thread.
    std::size_t chunks = 0;
    // Threads that may run chunks at once, the caller included; 0: the
    // hardware's threads (util::parallelism()). Capped by the pool's size.
    std::size_t threads = 0;
};

namespace detail {
using ChunkFn = void (*)(void* body, std::size_t begin, std::size_t end);
void parallel_for(std::size_t items, Split split, ChunkFn run, void* body);
} // namespace detail

// Calls body(begin, end) for consecutive chunks that cover [0, items) once
// each, on the calling thread and on pool workers; returns when all have
// ended. Chunks run in no set order and possibly at once: each must touch only
// what is its own. When the work runs on the calling thread alone (one thread
// or one chunk asked for, a call made from inside a chunk of a call that
// shares its work with workers, or no worker to be had) body(0, items) is
// called once. Any thread.
template <typename Body>
void parallel_for(std::size_t items, Split split, Body&& body)
{
    using B = std::remove_reference_t<Body>;
    detail::parallel_for(items, split,
        [](void* b, std::size_t begin, std::size_t end) { (*static_cast<B*>(b))(begin, end); },
        const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}

// The pool's workers (0 when none could be started); makes the pool on first use.
std::size_t parallel_workers();

// Tests: stops the pool's workers (no call may be running) and makes the
// pool anew, where starting a thread fails with std::system_error as the
// system's refusal does once `threads_that_start` have started. The default
// restores an ordinary pool.
void restart_parallel_pool_for_tests(std::size_t threads_that_start = static_cast<std::size_t>(-1));

} // namespace util

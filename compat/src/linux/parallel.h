// Spreading independent work over the CPUs the calling thread may run on.
#pragma once

#include <cstddef>
#include <functional>

namespace compat {

// Calls work(begin, end) for consecutive ranges of [0, count), at most
// `chunk` long, each once, on the calling thread and on up to one helper
// thread per further CPU the caller may run on. Returns when all ranges are
// done. Helpers exist only during the call and take no signals, so a program
// that forks or handles signals meanwhile sees its own threads only; a
// helper that can't be started leaves its share to the others. Under an
// address-space or data limit only the helpers whose stacks fit there are
// started (none when they don't), and each is set up to throw before any
// work begins. An exception thrown by work, on any thread, is thrown again
// here once every thread has stopped.
void for_each_range(std::size_t count, std::size_t chunk,
                    const std::function<void(std::size_t, std::size_t)>& work);

}  // namespace compat

// A barrier for a party of threads, with std::barrier's arrive_and_wait and arrive_and_drop, on a
// mutex and a condition variable: libstdc++ 12's std::barrier waits on atomics, and with the
// mingw-w64 runtime those waits never wake (seen under wine), so the copies would hang there.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace kalvento {

struct no_completion {
    void operator()() noexcept {}
};

template <class Completion = no_completion>
class thread_barrier {
public:
    explicit thread_barrier(std::ptrdiff_t expected, Completion completion = {})
        : expected(expected), completion(completion)
    {}

    // Waits until every thread of the party has arrived; the last one runs the completion first.
    void arrive_and_wait()
    {
        std::unique_lock<std::mutex> hold(lock);
        std::uint64_t mine = phase;
        if (++arrived >= expected)
            complete();
        else
            advanced.wait(hold, [&] { return phase != mine; });
    }

    // Arrives without waiting and leaves the party for the phases to come.
    void arrive_and_drop()
    {
        std::lock_guard<std::mutex> hold(lock);
        --expected;
        if (arrived >= expected)
            complete();
    }

private:
    void complete()
    {
        completion();
        arrived = 0;
        ++phase;
        advanced.notify_all();
    }

    std::mutex lock;
    std::condition_variable advanced;
    std::ptrdiff_t expected;
    std::ptrdiff_t arrived = 0;
    std::uint64_t phase = 0;
    Completion completion;
};

} // namespace kalvento

// Block-parallel loop shared by every kernel: short-lived threads for one
// call, blocks claimed one at a time from a single atomic counter.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrin {

// The hardware concurrency, 1 when the platform reports 0. Queried once per
// process and only when a call asks for all hardware threads: the query
// reads a file under /sys, which would cost more than a small call itself.
inline int64_t hardware_threads()
{
    static const int64_t hw = std::max<int64_t>(std::thread::hardware_concurrency(), 1);
    return hw;
}

// Calls body(begin, end) for consecutive blocks covering [0, count), each
// block exactly once. The calling thread is the last of the workers; the
// started threads are joined in start order. Runs with the interpreter lock
// released and never touches Python objects.
//
// When a thread cannot be started after others are running, no further
// thread is started, the running workers and the calling thread finish every
// block, all threads are joined, and only then the creation error is thrown.
template <class Body>
void parallel_blocks(int64_t count, int64_t block, int32_t n_threads, Body& body)
{
    if (count <= 0)
        return;
    const int64_t requested = n_threads > 0 ? n_threads : hardware_threads();
    const int64_t blocks = (count + block - 1) / block;
    const int64_t workers = std::min(blocks, requested);

    std::atomic<int64_t> next{0};
    auto work = [&next, block, count, &body] {
        int64_t start = next.fetch_add(block, std::memory_order_relaxed);
        while (start < count) {
            const int64_t end = std::min(start + block, count);
            body(start, end);
            start = next.fetch_add(block, std::memory_order_relaxed);
        }
    };
    if (workers < 2) {
        work();
        return;
    }

    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(workers - 1));
    std::error_code failed;
    std::exception_ptr other;
    try {
        for (int64_t k = 0; k < workers - 1; ++k)
            threads.emplace_back(work);
    } catch (const std::system_error& e) {
        failed = e.code();
    } catch (...) {
        other = std::current_exception();
    }
    if (threads.empty() && (failed || other)) {
        if (other)
            std::rethrow_exception(other);
        throw std::system_error(failed, "thread constructor failed");
    }
    work();
    for (auto& t : threads)
        t.join();
    if (other)
        std::rethrow_exception(other);
    if (failed)
        throw std::system_error(failed, "thread constructor failed");
}

} // namespace kestrin

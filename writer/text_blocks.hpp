// Block-parallel text runner of the writer module (the number writers shared
// by its record formats are in number_text.hpp). Items are formatted 2048 at a time into one
// string per block, and the strings are joined in block order, so the text
// never depends on which worker wrote which block.
#pragma once

#include "number_text.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pybind11/pybind11.h>

namespace marlode {

namespace py = pybind11;

constexpr int64_t block_items = 2048;
constexpr size_t copy_unlocked_from = size_t{1} << 20; // bytes of text

// The hardware concurrency, 1 when the platform reports 0. Queried once per
// process and only when a call asks for all hardware threads: the query
// reads a file under /sys, which would cost more than a small call itself.
inline int64_t hardware_threads()
{
    static const int64_t hw = std::max<int64_t>(std::thread::hardware_concurrency(), 1);
    return hw;
}

// Formats items [0, n) with format(block_string, begin, end) in blocks of
// 2048 on min(blocks, n_threads or the hardware concurrency) workers, the
// calling thread being the last of them, and returns the block strings
// joined in block order as one bytes object. Called and returning with the
// interpreter lock held; the workers never touch a Python object.
//
// The first exception of any worker, or the failure to start a thread, stops
// every worker after its current block; all started threads are joined and
// only then is that exception thrown, so no thread outlives the call.
template <class Format> py::bytes run_blocks(int64_t n, int32_t n_threads, Format&& format)
{
    const int64_t blocks = (n + block_items - 1) / block_items;
    std::vector<std::string> text(static_cast<size_t>(blocks));
    std::exception_ptr error;
    {
        py::gil_scoped_release unlocked; // workers read raw array data and write only `text`
        const int64_t workers = std::min(n_threads > 0 ? n_threads : hardware_threads(), blocks);

        std::atomic<int64_t> next{0};
        std::atomic<bool> stop{false};
        auto fail = [&](std::exception_ptr e) {
            if (!stop.exchange(true))
                error = std::move(e); // only the first failure is kept; read after the joins
        };
        auto work = [&]() noexcept {
            try {
                for (int64_t b = next.fetch_add(1);
                     b < blocks && !stop.load(std::memory_order_relaxed); b = next.fetch_add(1)) {
                    // Written on the worker's own stack and moved in whole: neighbouring
                    // string objects of `text` share cache lines.
                    std::string block;
                    const int64_t begin = b * block_items;
                    format(block, begin, std::min(begin + block_items, n));
                    text[static_cast<size_t>(b)] = std::move(block);
                }
            } catch (...) {
                fail(std::current_exception());
            }
        };

        std::vector<std::thread> threads;
        if (workers >= 2) {
            try {
                threads.reserve(static_cast<size_t>(workers - 1));
                for (int64_t k = 0; k < workers - 1; ++k)
                    threads.emplace_back(work);
            } catch (const std::system_error& e) {
                fail(std::make_exception_ptr(
                    std::system_error(e.code(), "thread constructor failed")));
            } catch (...) {
                fail(std::current_exception());
            }
        }
        work();
        for (auto& t : threads)
            t.join();
    }
    if (error)
        std::rethrow_exception(error);

    size_t total = 0;
    for (const auto& t : text)
        total += t.size();
    // The bytes object is created at its final size and filled in place: the
    // text exists twice at most, never three times.
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (out == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate bytes object!");
    }
    auto result = py::reinterpret_steal<py::bytes>(out);
    auto join = [&text, dst = PyBytes_AS_STRING(out)]() mutable {
        for (auto& t : text) {
            std::memcpy(dst, t.data(), t.size());
            dst += t.size();
            std::string().swap(t);
        }
    };
    // A short text is copied faster than the lock is handed over and back.
    if (total < copy_unlocked_from) {
        join();
    } else {
        py::gil_scoped_release unlocked; // no other thread can see `out` yet
        join();
    }
    return result;
}

} // namespace marlode

// Block-parallel text runner of the writer module and the number writers
// shared by its record formats. Items are formatted 2048 at a time into one
// string per block, and the strings are joined in block order, so the text
// never depends on which worker wrote which block.
#pragma once

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdio>
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

// v as base-10 text right-aligned in width characters; wider text is written
// whole. std::to_chars is locale-free and writes at most 20 characters for
// any 64-bit value, the most negative and 2^64 - 1 included.
template <class Int> inline void put_int(std::string& s, Int v, int32_t width)
{
    char buf[24];
    const int32_t len = static_cast<int32_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf);
    if (len < width)
        s.append(static_cast<size_t>(width - len), ' ');
    s.append(buf, static_cast<size_t>(len));
}

inline void put_i(std::string& s, int64_t v, int32_t width)
{
    put_int(s, v, width);
}

// x as "%.16E" (17 significant digits, reads back exactly) right-aligned in
// 25 characters; finite values take 22 to 24 of them.
inline void put_e(std::string& s, double x)
{
    char buf[64];
    const int len = std::snprintf(buf, sizeof buf, "%.16E", x);
    if (len < 0 || len >= static_cast<int>(sizeof buf))
        throw std::runtime_error("formatting failed");
    if (len < 25)
        s.append(static_cast<size_t>(25 - len), ' ');
    s.append(buf, static_cast<size_t>(len));
}

// x as "%.*f" with precision decimals, right-aligned in width characters.
// At 3 decimals the longest text, that of -DBL_MAX, has 314 characters.
inline void put_f(std::string& s, double x, int32_t width, int32_t precision)
{
    char buf[400];
    const int len = std::snprintf(buf, sizeof buf, "%.*f", precision, x);
    if (len < 0 || len >= static_cast<int>(sizeof buf))
        throw std::runtime_error("formatting failed");
    if (len < width)
        s.append(static_cast<size_t>(width - len), ' ');
    s.append(buf, static_cast<size_t>(len));
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
        int64_t workers = n_threads;
        if (workers <= 0)
            workers = std::max<int64_t>(std::thread::hardware_concurrency(), 1);
        workers = std::min(workers, blocks);

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
    {
        py::gil_scoped_release unlocked; // no other thread can see `out` yet
        char* dst = PyBytes_AS_STRING(out);
        for (auto& t : text) {
            std::memcpy(dst, t.data(), t.size());
            dst += t.size();
            std::string().swap(t);
        }
    }
    return result;
}

} // namespace marlode

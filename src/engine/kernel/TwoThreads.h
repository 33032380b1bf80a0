#pragma once

#include "engine/kernel/HelperTask.h"

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>

namespace quelby {

// Calls item(k) for k from 0 to count − 1, the items shared between this thread
// and the helper. A thread whose item fails takes no more; once both are done,
// the failure of the lowest item goes up, as it would one item after the other.
inline void forEachOnTwoThreads(std::size_t count, const std::function<void(std::size_t)>& item)
{
    std::atomic<std::size_t> next = 0;
    std::exception_ptr failure;
    std::size_t failed = count;
    std::mutex failing;
    const auto work = [&] {
        std::size_t k = 0;
        try {
            while ((k = next++) < count) item(k);
        } catch (...) {
            const std::lock_guard lock(failing);
            if (k < failed) {
                failed = k;
                failure = std::current_exception();
            }
        }
    };
    HelperTask other(work);
    work();
    other.join();
    if (failure) std::rethrow_exception(failure);
}

// Runs `first` on this thread and `second` on the helper (or after `first`,
// here, when the helper is busy). Once both are done, the failure of `first`
// goes up, else that of `second`.
inline void runOnTwoThreads(const std::function<void()>& first, const std::function<void()>& second)
{
    HelperTask other(second);
    std::exception_ptr failure;
    try {
        first();
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        other.join();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace quelby

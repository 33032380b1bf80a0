#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace quelby {

// Calls item(k) for k from 0 to count − 1, the items shared between this thread
// and one more. Once both are done, the first failure of either goes up.
inline void forEachOnTwoThreads(std::size_t count, const std::function<void(std::size_t)>& item)
{
    std::atomic<std::size_t> next = 0;
    std::exception_ptr failure;
    std::mutex failing;
    const auto work = [&] {
        try {
            for (std::size_t k; (k = next++) < count;) item(k);
        } catch (...) {
            const std::lock_guard lock(failing);
            if (!failure) failure = std::current_exception();
        }
    };
    std::thread other(work);
    work();
    other.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace quelby

#include "packer/pipeline/parallel.h"

#include "packer/host/host.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace packer {

unsigned ThreadCount(unsigned requested)
{
    if (requested != 0)
        return requested;
    return std::max(1u, host::CoreCount());
}

void RunInParallel(std::size_t count, unsigned threads, const std::function<void(std::size_t, unsigned)> &work)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstFailure;
    std::mutex failureLock;
    auto run = [&](unsigned worker) {
        for (std::size_t index; !failed && (index = next++) < count;) {
            try {
                work(index, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failureLock);
                if (!failed.exchange(true))
                    firstFailure = std::current_exception();
            }
        }
    };
    unsigned workers =
        static_cast<unsigned>(std::min<std::size_t>(ThreadCount(threads), std::max<std::size_t>(count, 1)));
    std::vector<std::thread> helpers;
    for (unsigned worker = 1; worker < workers; ++worker) {
        try {
            helpers.emplace_back(run, worker);
        } catch (const std::system_error &) {
            break; // fewer threads do the same work
        }
    }
    run(0);
    for (auto &helper : helpers)
        helper.join();
    if (firstFailure)
        std::rethrow_exception(firstFailure);
}

} // namespace packer

// Progress on standard error: on a terminal, one line redrawn four times a second with the
// bytes done over the total, the rate and the time left; otherwise (a CI log) one line at each
// tenth of the work. Quiet prints nothing.
#pragma once

#include "packer/cli/console.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace packer {

class ProgressBar : public RedrawnLine {
  public:
    enum class Mode { Terminal, Log, Quiet };
    // Quiet with -q, else Terminal when standard error is one, Log otherwise.
    static Mode ModeForConsole();

    explicit ProgressBar(Mode mode);
    ~ProgressBar() override;
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    // Starts a stage of total bytes of work, from none done.
    void Begin(const std::string &activity, std::uint64_t total);
    // Thread-safe.
    void Advance(std::uint64_t amount);
    // Clears the terminal's line.
    void Finish();
    void PrintAbove(const std::string &text) override;

  private:
    using Clock = std::chrono::steady_clock;
    void Draw();      // under lock_
    void LogTenths(); // under lock_
    void Tick();

    Mode mode_;
    std::mutex lock_;
    std::condition_variable stop_;
    bool stopping_ = false;
    bool drawn_ = false;
    std::string activity_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    int tenthsLogged_ = -1;
    Clock::time_point started_;
    std::thread ticker_;
};

} // namespace packer

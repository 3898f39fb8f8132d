#include "packer/cli/progress_bar.h"

#include "packer/cli/console.h"
#include "packer/host/host.h"
#include "packer/pipeline/memory_budget.h"

#include <cstdarg>
#include <cstdio>
#include <iostream>

namespace packer {

namespace {

// Through the standard error stream, which a Windows console is given as UTF-16.
__attribute__((format(printf, 1, 2))) void Print(const char *format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::cerr << text << std::flush;
}

std::string Duration(double seconds)
{
    long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

} // namespace

ProgressBar::Mode ProgressBar::ModeForConsole()
{
    if (CurrentVerbosity() == Verbosity::Quiet)
        return Mode::Quiet;
    return host::ErrorIsTerminal() ? Mode::Terminal : Mode::Log;
}

ProgressBar::ProgressBar(Mode mode) : mode_(mode), started_(Clock::now())
{
    if (mode_ == Mode::Terminal) {
        ticker_ = std::thread([this] { Tick(); });
        SetRedrawnLine(this);
    }
}

ProgressBar::~ProgressBar()
{
    if (mode_ == Mode::Terminal)
        SetRedrawnLine(nullptr);
    Finish();
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
    }
    stop_.notify_all();
    if (ticker_.joinable())
        ticker_.join();
}

void ProgressBar::Begin(const std::string &activity, std::uint64_t total)
{
    std::lock_guard<std::mutex> lock(lock_);
    activity_ = activity;
    total_ = total;
    done_ = 0;
    tenthsLogged_ = -1;
    started_ = Clock::now();
    Draw();
    LogTenths();
}

void ProgressBar::Advance(std::uint64_t amount)
{
    std::lock_guard<std::mutex> lock(lock_);
    done_ += amount;
    LogTenths();
}

void ProgressBar::Finish()
{
    std::lock_guard<std::mutex> lock(lock_);
    if (mode_ == Mode::Terminal && drawn_)
        Print("\r\033[K");
    drawn_ = false;
}

void ProgressBar::PrintAbove(const std::string &text)
{
    std::lock_guard<std::mutex> lock(lock_);
    if (drawn_)
        Print("\r\033[K");
    drawn_ = false;
    std::cerr << text << std::flush;
    if (!activity_.empty())
        Draw();
}

void ProgressBar::Tick()
{
    std::unique_lock<std::mutex> lock(lock_);
    while (!stop_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; }))
        if (!activity_.empty())
            Draw();
}

void ProgressBar::Draw()
{
    if (mode_ != Mode::Terminal)
        return;
    if (total_ == 0) { // a stage of no measured work (writing the file)
        Print("\r\033[K%.70s", activity_.c_str());
        drawn_ = true;
        return;
    }
    std::uint64_t done = done_ > total_ ? total_ : done_;
    int percent = total_ == 0 ? 100 : static_cast<int>(done * 100 / total_);
    double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::string rate = "-";
    std::string left = "-";
    if (seconds > 0.5 && done > 0) {
        double perSecond = static_cast<double>(done) / seconds;
        rate = DescribeSize(static_cast<std::uint64_t>(perSecond)) + "/s";
        left = Duration(static_cast<double>(total_ - done) / perSecond);
    }
    Print("\r\033[K%3d%% %s / %s, %s, %s left: %.50s", percent, DescribeSize(done).c_str(),
          DescribeSize(total_).c_str(), rate.c_str(), left.c_str(), activity_.c_str());
    drawn_ = true;
}

void ProgressBar::LogTenths()
{
    // A stage of no measured work (writing the file) is not worth a line.
    if (mode_ != Mode::Log || total_ == 0)
        return;
    int tenths = static_cast<int>((done_ > total_ ? total_ : done_) * 10 / total_);
    if (tenths <= tenthsLogged_)
        return;
    tenthsLogged_ = tenths;
    double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    Print("launcher-pack: %s: %d%% (%s of %s, %s)\n", activity_.c_str(), tenths * 10,
          DescribeSize(done_ > total_ ? total_ : done_).c_str(), DescribeSize(total_).c_str(),
          Duration(seconds).c_str());
}

} // namespace packer

#include "packer/progress_bar.h"

#include "packer/console.h"
#include "packer/host/host.h"

#include <cstdio>

namespace packer {

ProgressBar::ProgressBar(std::uint64_t total)
    : enabled_(host::ErrorIsTerminal() && CurrentVerbosity() != Verbosity::Quiet), total_(total)
{
}

ProgressBar::~ProgressBar()
{
    Finish();
}

void ProgressBar::Show(const std::string &activity)
{
    activity_ = activity;
    Draw();
}

void ProgressBar::Advance(std::uint64_t amount)
{
    done_ += amount;
    Draw();
}

void ProgressBar::Finish()
{
    if (enabled_ && drawn_)
        std::fputs("\r\033[K", stderr);
    drawn_ = false;
}

void ProgressBar::Draw()
{
    if (!enabled_)
        return;
    constexpr int width = 30;
    std::uint64_t done = done_ > total_ ? total_ : done_;
    int percent = total_ == 0 ? 100 : static_cast<int>(done * 100 / total_);
    int filled = percent * width / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, '.');
    std::fprintf(stderr, "\r\033[K[%s] %3d%% %.60s", bar.c_str(), percent, activity_.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

} // namespace packer

// A one-line progress bar on standard error while it is a terminal; silent otherwise.
#pragma once

#include <cstdint>
#include <string>

namespace packer {

class ProgressBar {
  public:
    explicit ProgressBar(std::uint64_t total);
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    // Shows what is being done now, with the work done before it.
    void Show(const std::string &activity);
    void Advance(std::uint64_t amount);
    void Finish();

  private:
    void Draw();

    bool enabled_;
    bool drawn_ = false;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    std::string activity_;
};

} // namespace packer

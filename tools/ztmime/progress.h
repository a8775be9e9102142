// A progress line on standard error for long runs: bytes done, messages,
// rate and time left.  Shown only when standard error is a terminal, not
// before the run has taken a second, and redrawn at most a few times a
// second.
#pragma once

#include <chrono>
#include <cstdint>

class Progress {
public:
    Progress(bool enabled, uint64_t total_bytes);
    ~Progress();  // clears the line
    void add(uint64_t bytes, uint64_t messages);

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool shown_ = false;
    uint64_t total_, bytes_ = 0, messages_ = 0;
    Clock::time_point start_, last_;
};

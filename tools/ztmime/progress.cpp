#include "progress.h"

#include <cstdio>
#include <unistd.h>

Progress::Progress(bool enabled, uint64_t total_bytes)
    : enabled_(enabled && ::isatty(2)), total_(total_bytes), start_(Clock::now()), last_(start_)
{
}

Progress::~Progress()
{
    if (shown_)
        std::fputs("\r\033[K", stderr);
}

void Progress::add(uint64_t bytes, uint64_t messages)
{
    bytes_ += bytes;
    messages_ += messages;
    if (!enabled_)
        return;
    Clock::time_point now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(250))
        return;
    last_ = now;
    shown_ = true;
    double secs = std::chrono::duration<double>(now - start_).count();
    double rate = static_cast<double>(bytes_) / secs;  // bytes per second
    double mb = 1e6;
    std::fprintf(stderr, "\r\033[K%.1f of %.1f MB, %llu messages, %.1f MB/s", static_cast<double>(bytes_) / mb,
                 static_cast<double>(total_) / mb, static_cast<unsigned long long>(messages_), rate / mb);
    if (total_ > bytes_ && rate > 0) {
        double left = static_cast<double>(total_ - bytes_) / rate;
        std::fprintf(stderr, ", %.0f s left", left);
    }
    std::fflush(stderr);
}

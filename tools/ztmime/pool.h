// Runs numbered jobs on worker threads and hands their results out in job
// order, with a bounded number of results waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct JobResult {
    std::string out;   // for standard output
    std::string err;   // for standard error
    int status = 0;
    uint64_t messages = 0;  // for progress
};

// Calls work(worker, i, result) for every i < count, on `threads` threads
// (worker is 0 .. threads-1; with one thread the calling thread does it),
// and emit(i, result) on the calling thread in order of i.  emit returns
// false to stop early.  An exception in work is reported in the job's
// result and the rest go on.
void run_ordered(size_t count, int threads, const std::function<void(int, size_t, JobResult &)> &work,
                 const std::function<bool(size_t, JobResult &)> &emit);

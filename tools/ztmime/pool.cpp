#include "pool.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

void run_one(const std::function<void(int, size_t, JobResult &)> &work, int worker, size_t i, JobResult &r)
{
    try {
        work(worker, i, r);
    } catch (const std::bad_alloc &) {
        r.err += "out of memory\n";
        r.status = 3;
    } catch (const std::exception &e) {
        r.err += std::string(e.what()) + "\n";
        r.status = 3;
    }
}

} // namespace

void run_ordered(size_t count, int threads, const std::function<void(int, size_t, JobResult &)> &work,
                 const std::function<bool(size_t, JobResult &)> &emit)
{
    if (threads <= 1) {
        for (size_t i = 0; i < count; ++i) {
            JobResult r;
            run_one(work, 0, i, r);
            if (!emit(i, r))
                return;
        }
        return;
    }
    // A ring of result slots: job i waits for slot i % window to be emitted.
    const size_t window = 4 * static_cast<size_t>(threads);
    struct Slot {
        JobResult result;
        bool ready = false;
    };
    std::vector<Slot> slots(window);
    std::mutex m;
    std::condition_variable changed;
    size_t next = 0, emitted = 0;
    bool stop = false;

    auto worker = [&](int id) {
        for (;;) {
            size_t i;
            {
                std::unique_lock lock(m);
                changed.wait(lock, [&] { return stop || next >= count || next < emitted + window; });
                if (stop || next >= count)
                    return;
                i = next++;
            }
            JobResult r;
            run_one(work, id, i, r);
            {
                std::lock_guard lock(m);
                slots[i % window].result = std::move(r);
                slots[i % window].ready = true;
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(worker, t);
    for (size_t i = 0; i < count; ++i) {
        JobResult r;
        {
            std::unique_lock lock(m);
            changed.wait(lock, [&] { return slots[i % window].ready; });
            r = std::move(slots[i % window].result);
            slots[i % window] = Slot{};
            emitted = i + 1;
        }
        changed.notify_all();
        if (!emit(i, r)) {
            std::lock_guard lock(m);
            stop = true;
            break;
        }
    }
    changed.notify_all();
    for (std::thread &t : pool)
        t.join();
}

#include "engine/support/background_release.hpp"

#include <pthread.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

namespace quorvane::support {

namespace {

// One release thread per process. The queue outlives everything else (it is never
// destroyed): at exit the thread is asked to finish what it holds and joined, so that
// nothing handed over is left unfreed and no freeing runs while the process tears down.
struct Releaser {
    std::mutex mutex;
    std::condition_variable wake;     // work arrived, or stop
    std::condition_variable drained;  // the queue is empty and nothing is being freed
    std::deque<std::unique_ptr<Garbage>> queue;
    std::thread thread;
    bool running = false;  // the thread is alive in this process
    bool busy = false;     // the thread is freeing an item
    bool stop = false;

    void loop() {
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            wake.wait(lock, [&] { return stop || !queue.empty(); });
            if (queue.empty()) break;  // stop, with nothing left
            std::unique_ptr<Garbage> item = std::move(queue.front());
            queue.pop_front();
            busy = true;
            lock.unlock();
            item.reset();
            lock.lock();
            busy = false;
            if (queue.empty()) drained.notify_all();
        }
        drained.notify_all();
    }
};

Releaser* releaser = nullptr;  // made on first use, never destroyed
std::once_flag made;

void stop_at_exit() noexcept {
    Releaser& r = *releaser;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.running) return;
        r.stop = true;
    }
    r.wake.notify_all();
    r.thread.join();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.running = false;
}

// Around fork: the parent holds the lock so that the child's copy is in a known state;
// the child has no release thread, and starts its own when it needs one.
void before_fork() noexcept { releaser->mutex.lock(); }
void after_fork_parent() noexcept { releaser->mutex.unlock(); }
void after_fork_child() noexcept {
    Releaser& r = *releaser;
    r.mutex.unlock();
    // The thread handle and the waits belong to the parent's thread: the child starts
    // afresh over them (the old ones are dropped, never destroyed).
    new (&r.thread) std::thread();
    new (&r.wake) std::condition_variable();
    new (&r.drained) std::condition_variable();
    r.running = false;
    r.busy = false;
}

Releaser& the_releaser() {
    std::call_once(made, [] {
        releaser = new Releaser;
        std::atexit(stop_at_exit);
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    });
    return *releaser;
}

}  // namespace

void release_in_background(std::unique_ptr<Garbage> garbage) noexcept {
    try {
        Releaser& r = the_releaser();
        std::unique_lock<std::mutex> lock(r.mutex);
        if (!r.running && !r.stop) {
            if (r.thread.joinable()) r.thread.join();
            r.thread = std::thread([&r] { r.loop(); });
            r.running = true;
        }
        if (r.running) {
            r.queue.push_back(std::move(garbage));
            lock.unlock();
            r.wake.notify_one();
            return;
        }
    } catch (...) {
        // No thread (or no memory for the queue): free it here, below.
    }
    garbage.reset();
}

void wait_for_background_release() noexcept {
    if (!releaser) return;
    Releaser& r = *releaser;
    std::unique_lock<std::mutex> lock(r.mutex);
    r.drained.wait(lock, [&] { return !r.running || (r.queue.empty() && !r.busy); });
}

}  // namespace quorvane::support

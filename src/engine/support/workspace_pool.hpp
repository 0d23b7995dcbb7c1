// A lock-free pool of working tables (of any default-constructible type) kept between
// uses, and the lease that takes one for a while.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>

namespace quorvane::support {

// Workspaces a heuristic keeps between evaluations. An evaluation takes one (or makes
// one when every kept one is in use by another thread) and gives it back; one more
// than the slots hold is dropped. No lock: a slot is an atomic pointer. Each thread
// starts looking at a slot of its own, so that it keeps using the workspace whose
// tables are in its core's cache rather than the one another thread just used.
template <class Workspace>
class WorkspacePool {
  public:
    WorkspacePool() = default;
    WorkspacePool(const WorkspacePool&) = delete;
    WorkspacePool& operator=(const WorkspacePool&) = delete;
    ~WorkspacePool() {
        for (auto& slot : slots_) delete slot.p.load(std::memory_order_acquire);
    }

    std::unique_ptr<Workspace> take() {
        const std::size_t first = home();
        for (std::size_t i = 0; i < kSlots; ++i) {
            auto& slot = slots_[(first + i) % kSlots].p;
            if (slot.load(std::memory_order_relaxed) != nullptr)
                if (Workspace* w = slot.exchange(nullptr, std::memory_order_acq_rel)) return std::unique_ptr<Workspace>(w);
        }
        return std::make_unique<Workspace>();
    }
    void give(std::unique_ptr<Workspace> w) {
        const std::size_t first = home();
        for (std::size_t i = 0; i < kSlots; ++i) {
            auto& slot = slots_[(first + i) % kSlots].p;
            Workspace* expected = nullptr;
            if (slot.load(std::memory_order_relaxed) == nullptr &&
                slot.compare_exchange_strong(expected, w.get(), std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
                w.release();
                return;
            }
        }
    }

  private:
    static constexpr std::size_t kSlots = 8;
    // The calling thread's first slot: threads are numbered as they first get here.
    static std::size_t home() {
        static std::atomic<std::size_t> threads{0};
        thread_local const std::size_t mine = threads.fetch_add(1, std::memory_order_relaxed) % kSlots;
        return mine;
    }
    // A cache line per slot: threads taking and giving back at their own slots do not
    // take the line from each other.
    struct alignas(64) Slot {
        std::atomic<Workspace*> p{nullptr};
    };
    std::array<Slot, kSlots> slots_{};
};

// A workspace for the length of one evaluation; given back also when it ends in an error.
template <class Workspace>
class Lease {
  public:
    explicit Lease(WorkspacePool<Workspace>& pool) : pool_(pool), w_(pool.take()) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool_.give(std::move(w_)); }
    Workspace& operator*() const { return *w_; }

  private:
    WorkspacePool<Workspace>& pool_;
    std::unique_ptr<Workspace> w_;
};

}  // namespace quorvane::support

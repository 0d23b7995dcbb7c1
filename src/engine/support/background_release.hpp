// Letting go of large structures off the caller's thread. A search that is stopped (a
// time-out, an interrupt) may hold millions of small objects; freeing them one by one
// would keep the caller waiting long past the moment it asked to stop. Such a search
// hands them to the release thread instead, which frees them in the order received.
#pragma once

#include <memory>

namespace quorvane::support {

// Whatever is to be freed: its destructor frees it.
class Garbage {
  public:
    virtual ~Garbage() = default;
};

// Frees `garbage` on the release thread, started on first use (and again in a forked
// child). When no thread can be had, frees it here.
void release_in_background(std::unique_ptr<Garbage> garbage) noexcept;

// Waits until everything handed over so far has been freed.
void wait_for_background_release() noexcept;

}  // namespace quorvane::support

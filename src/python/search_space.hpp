// The Python class `SearchSpace`, and the borrow through which other binding code
// (the search functions, the heuristics) uses the engine search space inside it.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/space/search_space.hpp"
#include "python/attachment.hpp"
#include "python/module.hpp"

namespace quorvane::python {

// A SearchSpace with its borrow flag: a count of shared borrows, or -1 while one
// exclusive borrow (the relevant_actions setter) holds it.
struct PySearchSpace {
    explicit PySearchSpace(SearchSpaceInput input) : space(std::move(input)) {}
    SearchSpace space;
    mutable std::atomic<std::int64_t> borrow_flag{0};
};

// A shared borrow of a Python SearchSpace for the life of the object. Fails with
// RuntimeError "Already mutably borrowed" while an exclusive borrow is held. Keeps the
// Python object alive; create it with the GIL held. It may go away on a thread that the
// interpreter ended meanwhile (a search in a daemon thread at exit): the borrow is
// given back then, the reference is left alone.
class SearchSpaceBorrow {
  public:
    // TypeError naming `arg` when obj is not an initialised SearchSpace.
    SearchSpaceBorrow(py::handle obj, const char* arg);
    SearchSpaceBorrow(const SearchSpaceBorrow&) = delete;
    SearchSpaceBorrow& operator=(const SearchSpaceBorrow&) = delete;
    ~SearchSpaceBorrow();

    const SearchSpace& get() const noexcept { return holder_->space; }
    const SearchSpace& operator*() const noexcept { return holder_->space; }
    const SearchSpace* operator->() const noexcept { return &holder_->space; }

  private:
    void acquire();
    OwnedRef keep_alive_;
    const PySearchSpace* holder_;
};

// Adds the class SearchSpace.
void register_search_space(ModuleBuilder& b);

}  // namespace quorvane::python

// The successor streams of the searches: the successors of one state as the search
// space's lazy sequence gives them, each offered to a filter (which may record it)
// and dropped unless kept, optionally evaluated by a heuristic as they are pulled.
#pragma once

#include <utility>

#include "engine/space/search_space_trait.hpp"
#include "engine/state/state.hpp"

namespace quorvane::search {

// Every call consumes the successors up to the first one that is kept.
template <StateSource Seq, class Keep>
class KeptSuccessors {
  public:
    KeptSuccessors(Seq sequence, Keep keep) : sequence_(std::move(sequence)), keep_(std::move(keep)) {}

    StatePtr next() {
        while (StatePtr successor = sequence_.next())
            if (keep_(successor)) return successor;
        return nullptr;
    }

  private:
    Seq sequence_;
    Keep keep_;
};

template <SearchSpaceTrait S, class Keep>
auto successor_stream(const S& space, StatePtr state, Keep keep) {
    using Seq = decltype(space.get_successor_states_iter(std::move(state)));
    return KeptSuccessors<Seq, Keep>(space.get_successor_states_iter(std::move(state)), std::move(keep));
}

}  // namespace quorvane::search

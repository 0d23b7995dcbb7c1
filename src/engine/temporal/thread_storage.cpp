#include "engine/temporal/thread_storage.hpp"

#include <exception>

#include "engine/temporal/delta_stn.hpp"
#include "engine/temporal/search_network.hpp"
#include "engine/support/number.hpp"

namespace quorvane {

void prepare_thread_storage() {
    // Asking the runtime about the exceptions in flight reads the record, which makes it.
    // The answer is kept: the runtime declares the question free of side effects, and an
    // unused answer would not be asked for at all.
    [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
    SearchNetwork::prepare_thread_scratch();
    DeltaSTN<Rational>::prepare_thread_scratch();
}

}  // namespace quorvane

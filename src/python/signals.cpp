// Signals during engine calls. CPython's C handler only marks a signal as pending; the
// Python handler (KeyboardInterrupt for SIGINT) runs when the main thread next asks
// the interpreter. Engine code runs detached and would never ask, so the engine's
// interrupt polls (support::InterruptPoll) end here: on the main thread they attach
// and run the pending handlers; what a handler raises ends the engine call and reaches
// the caller unchanged. Other threads run no handlers, as in Python itself.
#include <Python.h>

#include <pthread.h>

#include <atomic>

#include "engine/support/interruption.hpp"
#include "python/attachment.hpp"
#include "python/signals.hpp"

namespace quorvane::python {

namespace {

std::atomic<unsigned long> g_main_thread{0};

// A forked child's main thread is the thread that forked.
void after_fork_in_child() noexcept {
    g_main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

// Installed as the engine's interrupt check. Reading the thread's identity needs no
// interpreter; only the main thread attaches.
void run_pending_signal_handlers() {
    if (PyThread_get_thread_ident() != g_main_thread.load(std::memory_order_relaxed)) return;
    Attached attached;
    calling_python([] {
        if (PyErr_CheckSignals() < 0) throw py::error_already_set();
    });
}

}  // namespace

void install_signal_check() {
    py::object main_thread = py::module_::import("threading").attr("main_thread")();
    g_main_thread.store(main_thread.attr("ident").cast<unsigned long>(), std::memory_order_relaxed);
    static const bool registered = [] { return ::pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0; }();
    static_cast<void>(registered);
    support::install_interrupt_check(&run_pending_signal_handlers);
}

}  // namespace quorvane::python

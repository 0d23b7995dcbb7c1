// The thread's attachment state and the references released later on its behalf.
#include "python/attachment.hpp"

#include <exception>
#include <mutex>
#include <vector>

namespace quorvane::python {

namespace detail {

namespace {

thread_local Attachment t_attachment = Attachment::Attached;
thread_local PyThreadState* t_detached_state = nullptr;

// References whose last holder went away on a detached thread. Only ever grows while
// the interpreter finalizes: what is left then is never released.
std::mutex g_deferred_mutex;
std::vector<PyObject*>* g_deferred = nullptr;  // never freed: destructors may still use it at exit

}  // namespace

Attachment attachment() noexcept { return t_attachment; }

void set_attachment(Attachment a) noexcept {
    if (t_attachment != Attachment::Ended) t_attachment = a;
}

void mark_ended() noexcept { t_attachment = Attachment::Ended; }

PyThreadState*& detached_state() noexcept { return t_detached_state; }

void release_deferred() {
    std::vector<PyObject*> due;
    {
        std::lock_guard<std::mutex> lock(g_deferred_mutex);
        if (!g_deferred || g_deferred->empty()) return;
        due.swap(*g_deferred);
    }
    // Each release may run Python code (a finalizer): the rest stay owned by `due`
    // only as plain pointers, so an unwind from here leaks them and releases nothing twice.
    for (PyObject* obj : due) Py_DECREF(obj);
}

}  // namespace detail

void release_reference(PyObject* obj) noexcept {
    using detail::Attachment;
    switch (detail::attachment()) {
        case Attachment::Attached:
            Py_DECREF(obj);
            return;
        case Attachment::Detached:
            try {
                std::lock_guard<std::mutex> lock(detail::g_deferred_mutex);
                if (!detail::g_deferred) detail::g_deferred = new std::vector<PyObject*>();
                detail::g_deferred->push_back(obj);
            } catch (const std::exception&) {
                // Out of memory: the reference is leaked rather than released unlocked.
            }
            return;
        case Attachment::Ended:
            return;  // the lock is gone for good: leaked
    }
}

Attached::Attached() {
    if (detail::attachment() != detail::Attachment::Detached) return;
    calling_python([] { PyEval_RestoreThread(detail::detached_state()); });
    detail::set_attachment(detail::Attachment::Attached);
    reattached_ = true;
}

Attached::~Attached() {
    if (!reattached_ || thread_ended()) return;
    detail::detached_state() = PyEval_SaveThread();
    detail::set_attachment(detail::Attachment::Detached);
}

}  // namespace quorvane::python

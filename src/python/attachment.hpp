// How code of the module attaches to the interpreter and detaches from it.
//
// The searches run with the interpreter lock released; a custom heuristic and the
// logging bridge attach again for their own calls. While the interpreter finalizes,
// CPython ends every other thread that asks for the lock (a daemon thread still
// searching at exit): the request never returns, and the thread is unwound by the
// forced-unwind exception of thread cancellation. That unwind must pass through our
// frames. So here:
//   - attaching happens only in ordinary frames, never in a destructor or any other
//     noexcept frame, where the unwind would call std::terminate;
//   - the unwind is never swallowed: `catch (...)` clauses on its way rethrow it;
//   - once a thread has been ended it is marked, and nothing on its way out touches
//     Python again: references it still holds are leaked, not released.
//
// A thread is in one of three states: attached (it holds the lock, as every call from
// Python does), detached (it runs engine code inside `run_detached`), or ended.
#pragma once

#include <Python.h>

#include <pybind11/pybind11.h>

#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace quorvane::python {

namespace py = pybind11;

namespace detail {

enum class Attachment : unsigned char { Attached, Detached, Ended };

Attachment attachment() noexcept;
void set_attachment(Attachment a) noexcept;
// Marks this thread as ended by the interpreter, for good.
void mark_ended() noexcept;
// Releases the references whose holders went away on detached threads. Needs the lock.
void release_deferred();

#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#endif

}  // namespace detail

// True once the interpreter has ended this thread (it is being unwound).
inline bool thread_ended() noexcept { return detail::attachment() == detail::Attachment::Ended; }

// Runs `f`, code that calls into Python on an attached thread. When the interpreter
// ends the thread inside it, the thread is marked ended before the unwind leaves `f`:
// `f` itself must hold its Python references as plain pointers (no destructor of it
// may release them), and every destructor further out sees the mark.
template <class F>
decltype(auto) calling_python(F&& f) {
#if defined(__GLIBCXX__)
    try {
        return std::forward<F>(f)();
    } catch (const detail::ForcedUnwind&) {
        detail::mark_ended();
        throw;
    }
#else
    return std::forward<F>(f)();
#endif
}

// Releases one reference from any thread, without ever attaching: at once on an
// attached thread; on a detached one at the next return of some thread from
// `run_detached` (or never, when the interpreter finalizes first); never on an ended
// thread.
void release_reference(PyObject* obj) noexcept;

// One owned reference to a Python object, released through `release_reference`, so
// that it may go away on any thread.
class OwnedRef {
  public:
    OwnedRef() noexcept = default;
    // Takes a new reference to `h` (the caller must be attached).
    static OwnedRef borrow(py::handle h) noexcept {
        Py_XINCREF(h.ptr());
        return OwnedRef(h.ptr());
    }
    // Takes over the reference the caller owns.
    static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }

    OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            reset();
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { reset(); }

    PyObject* get() const noexcept { return obj_; }

  private:
    explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
    void reset() noexcept {
        if (obj_) release_reference(std::exchange(obj_, nullptr));
    }
    PyObject* obj_ = nullptr;
};

// Holds the interpreter lock for its lifetime. On a detached thread it takes the lock
// back with the thread's own state and releases it again at the end; on an attached
// one it does nothing. The constructor may never return (the interpreter ending the
// thread); the destructor only gives the lock back, and not at all on an ended thread.
class Attached {
  public:
    Attached();
    ~Attached();
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

  private:
    bool reattached_ = false;
};

namespace detail {
// The state of this thread while it runs detached; null when it is not detached.
PyThreadState*& detached_state() noexcept;
}  // namespace detail

// Runs `f` (engine code, which must not touch Python except through `Attached`) with
// the interpreter lock released, and gives back its result, or throws its exception,
// with the lock held again. `f`'s result must hold no Python references: when the
// interpreter ends the thread on its way back, the result and any pending exception
// are dropped (an exception is leaked, since it may hold Python objects).
//
// Taking the lock back goes through the thread's own state and never through the
// "ensure" functions: those read per-thread data that a finished finalization has
// already torn down, while the thread's own state leads a late thread straight to its end.
template <class F>
std::invoke_result_t<F&> run_detached(F&& f) {
    using R = std::invoke_result_t<F&>;
    const detail::Attachment previous = detail::attachment();
    PyThreadState* const outer = detail::detached_state();
    std::optional<R> result;
    std::exception_ptr error;
    detail::detached_state() = PyEval_SaveThread();
    detail::set_attachment(detail::Attachment::Detached);
    try {
        result.emplace(f());
#if defined(__GLIBCXX__)
    } catch (const detail::ForcedUnwind&) {
        // Ended while attached inside `f`: the lock is not ours to take back.
        detail::mark_ended();
        throw;
#endif
    } catch (...) {
        error = std::current_exception();
    }
#if defined(__GLIBCXX__)
    try {
#endif
        PyEval_RestoreThread(detail::detached_state());
        detail::detached_state() = outer;
        detail::set_attachment(previous);
        detail::release_deferred();
#if defined(__GLIBCXX__)
    } catch (const detail::ForcedUnwind&) {
        detail::mark_ended();
        // Leaked on purpose (see above); nothing may be thrown from here but the unwind.
        static_cast<void>(new (std::nothrow) std::exception_ptr(std::move(error)));
        throw;
    }
#endif
    if (error) std::rethrow_exception(error);
    return std::move(*result);
}

}  // namespace quorvane::python

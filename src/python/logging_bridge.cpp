// Forwards the engine's log records to Python's `logging`, one Python logger per
// target ("quorvane_base::search" -> "quorvane_base.search"). Loggers and their
// enabled levels are looked up once and kept for the life of the process.
#include <pybind11/pybind11.h>

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/support/log.hpp"
#include "python/attachment.hpp"
#include "python/module.hpp"

namespace quorvane::python {

namespace {

int python_level(log::Level level) {
    switch (level) {
        case log::Level::Error: return 40;
        case log::Level::Warn: return 30;
        case log::Level::Info: return 20;
        case log::Level::Debug: return 10;
        case log::Level::Trace: return 5;
    }
    return 0;
}

std::string logger_name(std::string_view target) {
    std::string out;
    out.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == ':' && i + 1 < target.size() && target[i + 1] == ':') {
            out += '.';
            ++i;
        } else {
            out += target[i];
        }
    }
    return out;
}

// Called by engine code on any thread, attached or not (searches run detached). Every
// use of Python attaches for its own length; levels already read need no lock.
class PythonLoggingSink final : public log::Sink {
  public:
    explicit PythonLoggingSink(py::object logging) : logging_(logging.release().ptr()) {}

    bool enabled(log::Level level, std::string_view target) override {
        const int idx = static_cast<int>(level);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = cache_.find(target);
            if (it != cache_.end() && it->second.enabled[idx] >= 0) return it->second.enabled[idx] == 1;
        }
        Attached attached;
        // Python code runs without our mutex held: it may switch threads. What it
        // raises is not ours to drop (a signal handler may run inside it and raise
        // KeyboardInterrupt): it ends the engine call that logs.
        return calling_python([&] {
            Entry* e = entry(target);
            PyObject* r = PyObject_CallMethod(e->logger, "isEnabledFor", "i", python_level(level));
            if (!r) throw py::error_already_set();
            const int truth = PyObject_IsTrue(r);
            Py_DECREF(r);
            if (truth < 0) throw py::error_already_set();
            std::lock_guard<std::mutex> lock(mutex_);
            if (e->enabled[idx] < 0) e->enabled[idx] = truth == 1 ? 1 : 0;
            return e->enabled[idx] == 1;
        });
    }

    void write(log::Level level, std::string_view target, std::string_view message, const char* file,
               int line) override {
        Attached attached;
        // Plain pointers only: when the interpreter ends this thread inside a handler,
        // the unwind must leave every reference alone.
        calling_python([&] {
            // Keep any exception the caller has pending: logging must not disturb it.
            PyObject *et, *ev, *etb;
            PyErr_Fetch(&et, &ev, &etb);
            try {
                emit(entry(target), level, message, file, line);
            } catch (const py::error_already_set&) {
                drop(et, ev, etb);  // logging's own error takes the place of the caller's
                throw;
            } catch (const std::exception&) {
                PyErr_Restore(et, ev, etb);  // out of memory: the caller's error stays pending
                throw;
            }
            if (PyErr_Occurred()) {
                // Raised by the logging machinery or by a signal handler that ran inside
                // it: that ends the engine call, as it would end a Python caller's.
                drop(et, ev, etb);
                throw py::error_already_set();
            }
            PyErr_Restore(et, ev, etb);
        });
    }

  private:
    struct Entry {
        PyObject* logger;  // owned for the life of the process
        std::string name;
        std::array<signed char, 6> enabled{-1, -1, -1, -1, -1, -1};
    };
    // Looks targets up without making a string of them.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    static void drop(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }

    // Makes the record and hands it to the logger; a failure is left pending.
    static void emit(const Entry* e, log::Level level, std::string_view message, const char* file, int line) {
        PyObject* name = PyUnicode_FromString(e->name.c_str());
        PyObject* path = PyUnicode_FromString(file);
        PyObject* msg = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
        if (name && path && msg) {
            PyObject* record = PyObject_CallMethod(e->logger, "makeRecord", "OiOiOOO", name, python_level(level), path,
                                                   line, msg, Py_None, Py_None);
            if (record) {
                PyObject* r = PyObject_CallMethod(e->logger, "handle", "O", record);
                Py_XDECREF(r);
                Py_DECREF(record);
            }
        }
        Py_XDECREF(name);
        Py_XDECREF(path);
        Py_XDECREF(msg);
    }

    // Requires the interpreter; a failure is thrown on. Entries never move or go away
    // once made.
    Entry* entry(std::string_view target) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = cache_.find(target);
            if (it != cache_.end()) return &it->second;
        }
        std::string key(target);
        std::string name = logger_name(target);
        PyObject* logger = PyObject_CallMethod(logging_, "getLogger", "s", name.c_str());
        if (!logger) throw py::error_already_set();
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            auto [pos, inserted] = cache_.try_emplace(std::move(key), Entry{logger, std::move(name)});
            if (!inserted) Py_DECREF(logger);  // another thread got there first
            return &pos->second;
        } catch (const std::exception&) {
            Py_DECREF(logger);  // out of memory for the entry: the cache stays as it was
            throw;
        }
    }

    PyObject* logging_;  // the `logging` module, kept for the life of the process
    std::mutex mutex_;
    std::unordered_map<std::string, Entry, TextHash, std::equal_to<>> cache_;
};

}  // namespace

bool install_logging_bridge() {
    py::object logging = py::module_::import("logging");
    // The sink lives for the rest of the process; there is no way to reset its cache.
    static PythonLoggingSink* sink = nullptr;
    if (sink) return false;
    auto* candidate = new PythonLoggingSink(std::move(logging));
    if (!log::install(candidate, log::Level::Debug)) {
        delete candidate;
        return false;
    }
    sink = candidate;
    return true;
}

}  // namespace quorvane::python

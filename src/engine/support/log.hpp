// Logging facade: engine code emits records with a target and a level; one
// process-wide sink (the Python bridge, in the extension) receives them.
// A record's text is only built when its level is enabled for its target.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace quorvane::log {

enum class Level : int { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

class Sink {
  public:
    virtual ~Sink() = default;
    virtual bool enabled(Level level, std::string_view target) = 0;
    virtual void write(Level level, std::string_view target, std::string_view message, const char* file,
                       int line) = 0;
};

namespace detail {
inline std::atomic<Sink*>& sink_slot() {
    static std::atomic<Sink*> slot{nullptr};
    return slot;
}
inline std::atomic<int>& max_level_slot() {
    static std::atomic<int> level{0};
    return level;
}
}  // namespace detail

// Installs the process-wide sink; fails (returns false) when one is installed already.
// The sink must live for the rest of the process.
inline bool install(Sink* sink, Level max_level) {
    Sink* expected = nullptr;
    if (!detail::sink_slot().compare_exchange_strong(expected, sink)) return false;
    detail::max_level_slot().store(static_cast<int>(max_level), std::memory_order_release);
    return true;
}

inline bool enabled(Level level, std::string_view target) {
    if (static_cast<int>(level) > detail::max_level_slot().load(std::memory_order_acquire)) return false;
    Sink* s = detail::sink_slot().load(std::memory_order_acquire);
    return s && s->enabled(level, target);
}

inline void write(Level level, std::string_view target, std::string_view message, const char* file, int line) {
    if (Sink* s = detail::sink_slot().load(std::memory_order_acquire)) s->write(level, target, message, file, line);
}

}  // namespace quorvane::log

// QV_LOG(Level::Info, "quorvane_base::search", some_string_expression)
#define QV_LOG(level, target, message_expr)                                                   \
    do {                                                                                      \
        if (::quorvane::log::enabled((level), (target)))                                      \
            ::quorvane::log::write((level), (target), (message_expr), __FILE__, __LINE__);    \
    } while (0)

// Ctrl-C and other signals during engine calls.
#pragma once

namespace quorvane::python {

// Lets the engine's long loops run the interpreter's pending signal handlers on the
// main thread (see signals.cpp). Needs the interpreter; the last installation holds.
void install_signal_check();

}  // namespace quorvane::python

// Per-thread storage made ahead of need.
//
// A thread gets some of its storage only when it first needs it: the C++ runtime's
// record of the exceptions it is handling, the thread-local block of each shared
// library, and the destructor entry of each thread-local object that has a destructor.
// When the C library cannot allocate one of these it ends the process; and when memory
// has run out, the first exception a thread ever throws is std::bad_alloc itself, at the
// very moment its record would be made. So a thread that may run out of memory in engine
// code makes all of them beforehand, where memory is not short yet.
#pragma once

namespace quorvane {

// Makes the calling thread's exception record and the engine's thread-local objects (the
// working tables of the temporal networks). Allocates little, and only on a thread's
// first call; the C library ends the process when even that fails. Every new
// thread-local object with a destructor in the engine belongs in here.
void prepare_thread_storage();

}  // namespace quorvane

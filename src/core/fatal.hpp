// Ending the process: the one routine every fatal path of the suite goes through.
#pragma once

namespace core {

// Flushes every C stream and ends the process at once with the given status.
// Safe on a worker thread: it does not wait for the pool's shutdown.
[[noreturn]] void fatal_exit(int status);

// A routine that fatal_exit runs once, before it flushes and ends the
// process, so that a program can put back a file it has moved aside or remove
// one it was writing; null removes it. Only one is held: a later call
// replaces it.
void fatal_cleanup(void (*routine)());

// A broken invariant of the program itself: prints
// "*** internal error labeled <label> in file <module>, line <line>" on standard
// output, flushes it and ends with status 250.
[[noreturn]] void internal_error(const char* label, const char* module, int line);

// The status a fatal message -n ends with: n modulo 256, but never 0, so that a
// failure is never reported as success.
int fatal_status(int n);

}  // namespace core

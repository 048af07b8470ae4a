// Ending the process: the one routine every fatal path of the suite goes through.
#pragma once

namespace core {

// Flushes every C stream and ends the process at once with the given status.
// Safe on a worker thread: it does not wait for the pool's shutdown.
[[noreturn]] void fatal_exit(int status);

// A routine that fatal_exit (or an ending signal, see fatal_signals) runs
// once, before the process ends, so that a program can put back a file it has
// moved aside or remove one it was writing; null removes it. Only one is
// held: a later call replaces it. The routine may run in a signal handler:
// only calls that are safe there (rename, unlink, ...).
void fatal_cleanup(void (*routine)());

// Runs the routine of fatal_cleanup (once) and removes every temporary file
// of the writer (core::OutFile). Only calls that are safe in a signal
// handler.
void fatal_run_cleanup();

// The signal dispositions of every program, set first by the start routine.
// A broken pipe (SIGPIPE) and the file-size limit (SIGXFSZ) are ignored, so
// that the write fails and the program takes its error path (the old file
// kept, the temporary file removed, a message) instead of being killed. An
// interrupt, termination, hang-up or quit (INT, TERM, HUP, QUIT) runs
// fatal_run_cleanup and then ends the process by the same signal; one the
// caller ignores stays ignored.
void fatal_signals();

// A broken invariant of the program itself: prints
// "*** internal error labeled <label> in file <module>, line <line>" on standard
// output, flushes it and ends with status 250.
[[noreturn]] void internal_error(const char* label, const char* module, int line);

// The status a fatal message -n ends with: n modulo 256, but never 0, so that a
// failure is never reported as success.
int fatal_status(int n);

}  // namespace core

// What runs before the process ends, by a fatal end or by a signal: the
// program's cleanup routine (a table moved aside is put back, ...) and the
// removal of every temporary file of the writer. Apart from fatal.cpp so
// that the fuzz targets, which replace the process-ending routines, keep it.
#include <csignal>
#include <cstring>

#include <atomic>

#include "core/fatal.hpp"
#include "core/outfile.hpp"

namespace core {

namespace {

std::atomic<void (*)()> cleanup{nullptr};

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Cleans up, then ends the process by the same signal, so that the caller
// (a shell, a batch system) sees how the run ended.
void onsignal(int sig) {
  fatal_run_cleanup();
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  // Blocked while the handler runs: delivered with the default action as
  // soon as it returns.
  raise(sig);
}

}  // namespace

void fatal_cleanup(void (*routine)()) { cleanup.store(routine); }

void fatal_run_cleanup() {
  // Taken out before it runs: a fatal end inside the routine, a signal
  // meanwhile, or an end on another thread at the same time does not run it
  // twice.
  if (void (*routine)() = cleanup.exchange(nullptr)) routine();
  // No half-written output file outlives the process.
  outfile_abandon_all();
}

void fatal_signals() {
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  sigaction(SIGXFSZ, &ignore, nullptr);

  struct sigaction end;
  std::memset(&end, 0, sizeof end);
  end.sa_handler = onsignal;
  sigemptyset(&end.sa_mask);
  // The other ending signals wait while one is being handled, so that the
  // cleanup runs to its end.
  for (int sig : kEndingSignals) sigaddset(&end.sa_mask, sig);
  for (int sig : kEndingSignals) {
    // A signal the caller ignores (nohup, a background job of a shell
    // without job control) stays ignored.
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &end, nullptr);
  }
}

}  // namespace core

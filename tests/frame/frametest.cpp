// Test program of the common program frame: runs the start routine, reads
// the key EVAL (a formula) and stores its value as RESULT, then runs the end
// routine. Switches for the tests, from the environment:
//   FRAMETEST_REDUCED=1   the reduced start and end instead (prints KALVO)
//   FRAMETEST_FSIZE=n     file writes fail beyond n bytes during the end routine
//   FRAMETEST_LEAVEFRAME=1 an extra error frame is left for the end routine
//   FRAMETEST_RAISE=n     before the end routine, with the file "partial.out"
//                         half written, the program sends itself signal n
//   FRAMETEST_NOMEMORY=1  a standard container asks for more memory than there is
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/data.hpp"
#include "core/frame.hpp"
#include "core/outfile.hpp"
#include "core/velmora.hpp"

namespace frametest {
using namespace core;

namespace {

void constants() { SetVar("FRAMECONST", 7); }

void evaluate() {
  static char text[8001];
  if (dataerr_try([] { GetStrVar("EVAL", 8000, text); })) {
    double x = Wert(text);
    std::printf("EVAL=%.16g\n", x);
    SetVar("RESULT", x);
  }
}

}  // namespace

int run(int argc, char** argv) {
  if (std::getenv("FRAMETEST_REDUCED") != nullptr) {
    prolog_reduced(argc, argv);
    std::printf("KALVO=%s\n", kalvo);
    epilog_reduced(nullptr);
  }
  prolog(argc, argv, "frametest.cfg", constants);
  evaluate();
  if (const char* sig = std::getenv("FRAMETEST_RAISE")) {
    static OutFile partial;
    if (partial.open("partial.out")) std::fputs("half", partial.file());
    std::fflush(partial.file());
    std::raise(std::atoi(sig));
    // An ignored signal: the run goes on, and the file is not committed.
    partial.discard();
  }
  if (std::getenv("FRAMETEST_NOMEMORY") != nullptr) {
    // 2^61 bytes: below the container's own size limit, above any machine.
    volatile size_t count = size_t{1} << 58;
    std::vector<double> huge(count);
    std::printf("allocated %p\n", static_cast<void*>(huge.data()));
  }
  if (const char* limit = std::getenv("FRAMETEST_FSIZE")) {
    rlimit r;
    r.rlim_cur = r.rlim_max = static_cast<rlim_t>(std::atol(limit));
    setrlimit(RLIMIT_FSIZE, &r);
  }
  if (std::getenv("FRAMETEST_LEAVEFRAME") != nullptr) dataerr_newjmp();
  epilog();
}

}  // namespace frametest

int main(int argc, char** argv) { return frametest::run(argc, argv); }

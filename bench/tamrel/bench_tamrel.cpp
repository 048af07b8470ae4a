// Benchmark of the refinement program: seconds per least-squares cycle
// (one model evaluation, one derivative pass with the normal matrix, one
// step) of the PbSO4 X-ray problem of the tests (5801 points, 388
// reflections, 16 parameters, published structure, cell 0.2 % off), on 1 and
// on 8 worker threads. The program runs twice per thread count, with at most
// 3 and at most 12 iterations per stage; the difference of the wall times
// over the difference of the iteration counts is the time of a cycle, free
// of the set-up, the significance analysis and the outputs.
//
//   bench_tamrel [thread counts, default 1 8]
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string dir;

void write(const std::string& name, const std::string& text) {
  std::ofstream(dir + "/" + name) << text;
}

std::string read(const std::string& name) {
  std::ifstream in(dir + "/" + name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void copy(const std::string& from, const std::string& to) {
  write(to, [&] {
    std::ifstream in(from);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }());
}

// Wall time of one run and the iterations it reports.
bool once(int threads, int itmax, double* seconds, int* iterations) {
  const std::string cmd =
      "cd " + dir + " && KALVO=" + dir +
      "/install " TAMREL_PROGRAM " pb SAVE=N NTHREADS=" + std::to_string(threads) +
      " ITMAX=" + std::to_string(itmax) + " > out.txt 2>&1";
  const auto t0 = std::chrono::steady_clock::now();
  const int status = std::system(cmd.c_str());
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const std::string list = read("pbso4.lst");
  const size_t at = list.find(" iteration steps");
  if (status != 0 || at == std::string::npos) {
    std::fprintf(stderr, "run failed:\n%s\n", read("out.txt").c_str());
    return false;
  }
  *iterations = std::atoi(list.substr(list.rfind('\n', at) + 1).c_str());
  return true;
}

// The shortest of three runs: the machine's other work only adds time.
bool run(int threads, int itmax, double* seconds, int* iterations) {
  *seconds = 1e30;
  for (int k = 0; k < 3; ++k) {
    double t = 0;
    if (!once(threads, itmax, &t, iterations)) return false;
    if (t < *seconds) *seconds = t;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  char templ[] = "/tmp/bench_tamrel.XXXXXX";
  if (mkdtemp(templ) == nullptr) return 1;
  dir = templ;
  mkdir((dir + "/install").c_str(), 0700);
  for (const char* f : {"err.msg", "tamrel.cfg", "cu.lam", "afaparm.dat", "bcoh.dat", "weight.mol",
                        "cu.ano", "cu.mdr", "ordanix.dat"})
    copy(std::string(KALVO_SOURCE_DATA) + "/" + f, std::string("install/") + f);
  copy(std::string(KALVO_TEST_DATA) + "/PbSO4_xray.gsa", "PbSO4_xray.gsa");
  copy(std::string(KALVO_TEST_DATA) + "/PbSO4_instrument.ger", "pbso4.ger");
  write("pbso4.str",
        "PHASE=PbSO4 SpacegroupNo=62 UNIT=ANGSTROEM RP=3 GEWICHT=SPHAR0\n"
        "PARAM=A=8.49726 PARAM=B=5.40940 PARAM=C=6.97392 PARAM=Biso=1.0 PARAM=B1=0.005_0\n"
        "E=Pb Wyckoff=c x=0.1875 z=0.1672 TDS=Biso\n"
        "E=S Wyckoff=c x=0.0649 z=0.6835 TDS=Biso\n"
        "E=O Wyckoff=c x=-0.0930 z=0.5954 TDS=Biso\n"
        "E=O Wyckoff=c x=0.1937 z=0.5426 TDS=Biso\n"
        "E=O Wyckoff=d x=0.0809 y=0.0269 z=0.8093 TDS=Biso\n");
  write("pb.sav",
        "LINTOR=pbso4\nLAMBDA=CU\nVAL[1]=PbSO4_xray.gsa\nSTRUC[1]=pbso4\nLIST=pbso4\n"
        "WMIN=15\nWMAX=159\nPARAM[1]=EPS1=0\n");
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 8};
  int status = 0;
  for (int threads : counts) {
    double t1 = 0, t2 = 0;
    int i1 = 0, i2 = 0;
    if (!run(threads, 3, &t1, &i1) || !run(threads, 12, &t2, &i2)) {
      status = 1;
      break;
    }
    const double cycle = i2 > i1 ? (t2 - t1) / (i2 - i1) : t2 / i2;
    std::printf("%d thread(s): %6.3f s per cycle (runs of %d and %d iterations: %.2f s, %.2f s)\n",
                threads, cycle, i1, i2, t1, t2);
  }
  std::system(("rm -rf " + dir).c_str());
  return status;
}

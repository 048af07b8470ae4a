// Names that are not files, read errors and values past the limits of a run:
// every program ends within its time with a message that names the file,
// key or value at fault, instead of reading a directory forever, waiting at
// a FIFO, or enumerating, tracing and searching without end. Each case runs
// the built program on a small fixture with a time limit; a run killed at
// the limit is a hang.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace {

// A run still going after this many seconds hangs (a sanitizer build runs
// each case in a few seconds).
constexpr int kLimit = 120;
constexpr int kKilled = 128 + 9;
constexpr double kPi = 3.141592653589793;

// The control files of the cases: a refinement of PbSO4, a peak fit and a
// split of its X-ray pattern, the profile of LaB6 and a ray trace at 30
// degrees.
const std::map<std::string, std::string> kControls = {
    {"fast.sav",
     "VAL[1]=PbSO4_xray.gsa\nLAMBDA=CU\nLINTOR=instrument\nWMIN==22\nWMAX==40\n"
     "STRUC[1]=pbso4\nSAVE=N\n"},
    {"k1.sav",
     "VAL[1,1]=PbSO4_xray.gsa\nLAMBDA=CU\nWMIN==28\nWMAX==30\nLINTOR=instrument\nSAVE=N\n"},
    {"r1.sav", "VAL[1]=PbSO4_xray.gsa\nLAMBDA=CU\nWMIN==20\nWMAX==40\nSAVE=N\n"},
    {"lab6.sav", "VAL[1]=LaB6_Jan2018.raw\nSTANDARDPAR=lab6\nLINTOR=made\nSAVE=N\n"},
    {"q1.sav", "LINTOR=instrument\nWMIN==20\nWMAX==30\nWSTEP==0.5\nSAVE=N\n"},
    {"beam.sav",
     "ZELMARRY=REFLEXION\nR=200\nFocusH=8\nFocusW=0.04\nHSlitR=100\nHSlitW=1\nPColl=0.04\n"
     "SColl=0.04\nDetW=0.1\nDetH=15\nEPSG=0.02\nzweiTheta[1]=30\nLINTOR=traced\nSAVE=N\n"},
};

// What a case puts in the working directory before the run.
enum class Make { none, directory, fifo, device, readerror };

struct Place {
  Make make;
  std::string name;
};

class Workplace {
 public:
  Workplace() {
    for (const char* f : {"instrument.ger", "lab6.par", "pbso4.str"})
      ktest::copy_file(std::string(KALVO_SOURCE_DIR) + "/examples/" + f, work_.file(f));
    for (const char* f : {"PbSO4_xray.gsa", "LaB6_Jan2018.raw"})
      ktest::copy_file(std::string(KALVO_TEST_DATA) + "/" + f, work_.file(f));
    for (const auto& [name, text] : kControls) ktest::write_file(work_.file(name), text);
  }

  std::string file(const std::string& name) const { return work_.file(name); }

  // Makes a directory, a FIFO, a link to a device or a link to a file whose
  // reading fails (the memory of the reading process at address 0).
  void make(const Place& p) {
    const std::string path = work_.file(p.name);
    switch (p.make) {
      case Make::none:
        break;
      case Make::directory:
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        break;
      case Make::fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
        break;
      case Make::device:
        ASSERT_EQ(symlink("/dev/null", path.c_str()), 0) << path;
        break;
      case Make::readerror:
        ASSERT_EQ(symlink("/proc/self/mem", path.c_str()), 0) << path;
        break;
    }
  }

  ktest::RunResult run(const std::string& program, const std::vector<std::string>& args) {
    return ktest::run_program(ktest::program_path(program), args, work_.path(),
                              {{"KALVO", install_.path()}}, kLimit);
  }

 private:
  ktest::TempDir work_;
  ktest::TempInstall install_;
};

// The case's description as a test name: letters and digits, the words
// joined by underscores.
template <class Case>
std::string casename(const testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* p = info.param.what; *p != 0; ++p) {
    const char ch = *p;
    const bool alnum =
        (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    if (alnum)
      name += ch;
    else if (!name.empty() && name.back() != '_')
      name += '_';
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name;
}

// ---------------------------------------------------------------------------
// A name given where a file is read that names no file

struct NotAFile {
  const char* what;
  const char* program;
  std::vector<std::string> args;
  Place place;
  const char* key;   // as message 340 names it
  const char* kind;  // "a directory", ...
  int status;        // -1: any status but the hang's; 0 or more: that one
};

class NotAFileIsNotRead : public testing::TestWithParam<NotAFile> {};

TEST_P(NotAFileIsNotRead, TheRunEndsWithAMessageNamingFileKeyAndKind) {
  const NotAFile& c = GetParam();
  Workplace wp;
  wp.make(c.place);
  ktest::RunResult r = wp.run(c.program, c.args);
  ASSERT_NE(r.status, kKilled) << c.what << ": the run hung\n" << r.out;
  EXPECT_NE(r.out.find(ktest::message(340, c.place.name.c_str(), c.key, c.kind)), std::string::npos)
      << c.what << "\n"
      << r.out;
  if (c.status >= 0) {
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Readers, NotAFileIsNotRead,
                         testing::Values(NotAFile{"a directory as structure file",
                                                  "tamrel",
                                                  {"fast", "STRUC[1]=bad"},
                                                  {Make::directory, "bad.str"},
                                                  "STRUC[1]",
                                                  "a directory",
                                                  1},
                                         NotAFile{"a FIFO as structure file",
                                                  "tamrel",
                                                  {"fast", "STRUC[1]=pipe"},
                                                  {Make::fifo, "pipe.str"},
                                                  "STRUC[1]",
                                                  "a FIFO",
                                                  1},
                                         NotAFile{"a directory as the profile of a refinement",
                                                  "tamrel",
                                                  {"fast", "LINTOR=d"},
                                                  {Make::directory, "d.ger"},
                                                  "LINTOR",
                                                  "a directory",
                                                  -1},
                                         NotAFile{"a directory as the profile of a peak fit",
                                                  "kalvo",
                                                  {"k1", "LINTOR=d"},
                                                  {Make::directory, "d.ger"},
                                                  "LINTOR",
                                                  "a directory",
                                                  -1},
                                         NotAFile{"a FIFO as the GEQ table beside the profile",
                                                  "kalvo",
                                                  {"k1"},
                                                  {Make::fifo, "instrument.geq"},
                                                  "GEQ table of LINTOR",
                                                  "a FIFO",
                                                  -1},
                                         NotAFile{"a FIFO as a binary scan",
                                                  "kalvo",
                                                  {"k1", "VAL[1,1]=pipe.raw"},
                                                  {Make::fifo, "pipe.raw"},
                                                  "scan file 1",
                                                  "a FIFO",
                                                  -1},
                                         NotAFile{"a directory as a GSAS scan",
                                                  "raze",
                                                  {"r1", "VAL[1]=scan.gsa"},
                                                  {Make::directory, "scan.gsa"},
                                                  "scan file 1",
                                                  "a directory",
                                                  -1},
                                         NotAFile{"a device as a text scan",
                                                  "vistal",
                                                  {"r1", "VAL[1]=dev.xy"},
                                                  {Make::device, "dev.xy"},
                                                  "scan file 1",
                                                  "a device",
                                                  -1},
                                         NotAFile{"a directory as the start peaks",
                                                  "kalvo",
                                                  {"k1", "STARTPARAM=sp"},
                                                  {Make::directory, "sp.par"},
                                                  "STARTPARAM",
                                                  "a directory",
                                                  -1},
                                         NotAFile{"a device as the standard's reflections",
                                                  "lintor",
                                                  {"lab6", "STANDARDPAR=dev"},
                                                  {Make::device, "dev.par"},
                                                  "STANDARDPAR",
                                                  "a device",
                                                  10},
                                         NotAFile{"a directory as the fit to draw",
                                                  "vistal",
                                                  {"r1", "OUTPUT=od"},
                                                  {Make::directory, "od.par"},
                                                  "OUTPUT",
                                                  "a directory",
                                                  58},
                                         NotAFile{"a directory as the profile to tabulate",
                                                  "quindle",
                                                  {"q1", "LINTOR=d"},
                                                  {Make::directory, "d.ger"},
                                                  "LINTOR",
                                                  "a directory",
                                                  -1},
                                         NotAFile{"a FIFO as the profile to look at",
                                                  "probast",
                                                  {"p1", "LINTOR=pipe", "zweiTheta==40"},
                                                  {Make::fifo, "pipe.ger"},
                                                  "LINTOR",
                                                  "a FIFO",
                                                  -1},
                                         NotAFile{"a FIFO as the control file",
                                                  "raze",
                                                  {"pipe", "VAL[1]=PbSO4_xray.gsa", "LAMBDA=CU",
                                                   "WMIN==20", "WMAX==40"},
                                                  {Make::fifo, "pipe.sav"},
                                                  "control file",
                                                  "a FIFO",
                                                  -1}),
                         casename<NotAFile>);

// ---------------------------------------------------------------------------
// A read error before the end of a file

struct ReadError {
  const char* what;
  const char* program;
  std::vector<std::string> args;
  std::string file;
  const char* key;
};

class ReadErrorEndsTheRun : public testing::TestWithParam<ReadError> {};

TEST_P(ReadErrorEndsTheRun, WithMessage115) {
  const ReadError& c = GetParam();
  Workplace wp;
  wp.make({Make::readerror, c.file});
  ktest::RunResult r = wp.run(c.program, c.args);
  ASSERT_NE(r.status, kKilled) << c.what << ": the run hung\n" << r.out;
  EXPECT_EQ(r.status, 115) << c.what << "\n" << r.out;
  EXPECT_NE(r.out.find(ktest::message(-115, c.file.c_str(), c.key)), std::string::npos)
      << c.what << "\n"
      << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ReadErrorEndsTheRun,
    testing::Values(
        ReadError{"structure file", "tamrel", {"fast", "STRUC[1]=mem"}, "mem.str", "STRUC[1]"},
        ReadError{"instrument profile", "kalvo", {"k1", "LINTOR=mem"}, "mem.ger", "LINTOR"},
        ReadError{"text scan", "raze", {"r1", "VAL[1]=mem.xy"}, "mem.xy", "scan file 1"},
        ReadError{"binary scan", "raze", {"r1", "VAL[1]=mem.raw"}, "mem.raw", "scan file 1"}),
    casename<ReadError>);

// ---------------------------------------------------------------------------
// Values past the limits of a run

// A peak file of count two-parameter peaks at 1/d spread evenly between the
// angles lo and hi (degrees 2theta, Cu K-alpha 1), without background.
std::string peakfile(int count, double lo, double hi) {
  std::string text = "PEAKZAHL=" + std::to_string(count) + " LAMBDA=CU EPS1=0.0\n";
  for (int i = 0; i < count; ++i) {
    const double tt = lo + (hi - lo) * (i + 0.5) / count;
    char line[80];
    std::snprintf(line, sizeof line, "2 1.0E+03 %.7f\n", 2 * std::sin(tt * kPi / 360) / 0.15405929);
    text += line;
  }
  return text + "0\n";
}

// A binary scan whose header claims steps of the key STEPWIDTH from 0 to
// 163.835 degrees over a file of as many counts, left as a hole: the file
// takes no room on the disk.
void claimingscan(const std::string& path, int64_t points) {
  unsigned char header[138] = {};
  header[85] = 0;                                // copper anode
  header[120] = 1;                               // the step comes from STEPWIDTH
  const unsigned shorts[4] = {1, 0, 32767, 20};  // step, start, end, counting time
  for (int k = 0; k < 4; ++k) {
    header[128 + 2 * k] = static_cast<unsigned char>(shorts[k] & 0xff);
    header[129 + 2 * k] = static_cast<unsigned char>(shorts[k] >> 8);
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(header, 1, sizeof header, f), sizeof header);
  std::fclose(f);
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(sizeof header + 2 * points + 100)), 0);
}

struct Limit {
  const char* what;
  const char* program;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> files;  // written before the run
  int status;
  std::string expected;  // a line of the output
};

class LimitIsRefused : public testing::TestWithParam<Limit> {};

TEST_P(LimitIsRefused, WithItsMessageInsteadOfARunWithoutEnd) {
  const Limit& c = GetParam();
  Workplace wp;
  for (const auto& [name, text] : c.files) {
    if (text == "<claims 54.6 million points>")
      claimingscan(wp.file(name), 54700000);
    else
      ktest::write_file(wp.file(name), text);
  }
  ktest::RunResult r = wp.run(c.program, c.args);
  ASSERT_NE(r.status, kKilled) << c.what << ": the run hung\n" << r.out;
  EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
  EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.what << "\n" << r.out;
}

// The pbso4 structure with other cell edges (Angstrom).
std::string cell(const std::string& a, const std::string& b, const std::string& c) {
  std::string s = ktest::read_file(std::string(KALVO_SOURCE_DIR) + "/examples/pbso4.str");
  const std::string from = "PARAM=A=8.49726 PARAM=B=5.40940 PARAM=C=6.97392";
  const size_t at = s.find(from);
  if (at == std::string::npos) return "the example structure has changed\n";
  return s.replace(at, from.size(), "PARAM=A=" + a + " PARAM=B=" + b + " PARAM=C=" + c);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, LimitIsRefused,
    testing::Values(
        Limit{"a background order of 100000",
              "kalvo",
              {"k1", "RU==100000"},
              {},
              117,
              ktest::message(-117, 100000, 50)},
        Limit{"1200 start peaks in one window",
              "kalvo",
              {"k1", "STARTPARAM=many"},
              {{"many.par", peakfile(1200, 28.2, 29.8)}},
              118,
              ktest::message(-118, 1, 1200, 1000)},
        Limit{"60 start peaks in a window of 81 points",
              "kalvo",
              {"k1", "STARTPARAM=sixty"},
              {{"sixty.par", peakfile(60, 28.2, 29.8)}},
              119,
              ktest::message(-119, 1, 60, 0, 120, 81)},
        Limit{"a profile block of 5000 components",
              "kalvo",
              {"k1", "LINTOR=wide"},
              {{"wide.ger", "TITEL=x\nTHETA=25 N=5000\n0.8 0.0001 0.0005\n"}},
              126,
              ktest::message(-126, "wide.ger", 100000, 1000, 2)},
        Limit{"NTHREADS of a peak fit",
              "kalvo",
              {"k1", "NTHREADS==5000"},
              {},
              123,
              ktest::message(-123, "NTHREADS", 5000, 1024)},
        Limit{"a cell of 8e5 Angstrom",
              "tamrel",
              {"fast", "STRUC[1]=big", "WMAX==67"},
              {{"big.str", cell("8e5", "5.4", "6.97")}},
              120,
              "*** phase 1: the measured range holds about 4.71e+07 reciprocal-lattice points"},
        Limit{"one cell edge of 1e12 Angstrom in a small cell volume",
              "tamrel",
              {"fast", "STRUC[1]=long"},
              {{"long.str", cell("1e-6", "1e-6", "1e12")}},
              120,
              "*** phase 1: the measured range holds about "},
        Limit{"ITMAX of a refinement",
              "tamrel",
              {"fast", "ITMAX==1000000"},
              {},
              123,
              ktest::message(-123, "ITMAX", 1000000, 10000)},
        Limit{"TEILZAHL of an earlier split",
              "raze",
              {"r1", "TEILZAHL==100000"},
              {},
              123,
              ktest::message(-123, "TEILZAHL", 100000, 10000)},
        Limit{"VALZAHL of an earlier split",
              "raze",
              {"r1", "VALZAHL==20000"},
              {},
              123,
              ktest::message(-123, "VALZAHL", 20000, 10000)},
        Limit{"a scan claiming 54.6 million points",
              "raze",
              {"r1", "VAL[1]=big.rd", "STEPWIDTH==3e-6"},
              {{"big.rd", "<claims 54.6 million points>"}},
              116,
              ktest::message(-116, 50000000, "big.rd")},
        Limit{"a tiny EPSILON of the profile search",
              "lintor",
              {"lab6", "EPSILON==1e-12"},
              {},
              124,
              "*** EPSILON=1e-12: the search grid of the reflection at 2theta="},
        Limit{"a tiny bin width of the ray trace",
              "zelmar",
              {"beam", "DEPS==1e-12"},
              {},
              122,
              ktest::message(-122, 30.0, 33554432, 1e-12 * 360 / kPi)},
        Limit{"a divergence slit of 1e9 mm",
              "zelmar",
              {"beam", "HSlitW==1e9"},
              {},
              0,
              ktest::message(343, 30.0, 60)}),
    casename<Limit>);

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// KEY= on the command line deletes at the command line's level only: a key
// of the control file stays, one given earlier on the command line goes.
// The README says so and shows how to remove a key of the control file.

TEST(CommandLine, DeletingAKeyReachesOnlyTheCommandLine) {
  const std::string control =
      std::string(kControls.at("r1.sav"))
          .replace(kControls.at("r1.sav").find("SAVE=N\n"), 7, "TITELMASK=part$\n");
  struct Case {
    const char* what;
    std::vector<std::string> args;  // the parts keep the control file's titles
  };
  const Case cases[] = {
      {"KEY= beside a key of the control file", {"split", "TITELMASK="}},
      {"KEY= after the same key on the command line", {"split", "TITELMASK=cmd$", "TITELMASK="}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Workplace wp;
    ktest::write_file(wp.file("split.sav"), control);
    ktest::RunResult r = wp.run("raze", c.args);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string saved = ktest::read_file(wp.file("split.sav"));
    EXPECT_NE(saved.find("TITEL[1]=part1\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("cmd"), std::string::npos) << saved;
  }
  // Its line deleted from the control file (sed -i '/^TITELMASK=/d'), the
  // key is gone.
  Workplace wp;
  std::string edited = control;
  edited.erase(edited.find("TITELMASK=part$\n"), 16);
  ktest::write_file(wp.file("split.sav"), edited);
  ktest::RunResult r = wp.run("raze", {"split"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string saved = ktest::read_file(wp.file("split.sav"));
  EXPECT_NE(saved.find("TEILZAHL"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("TITEL"), std::string::npos) << saved;
}

}  // namespace

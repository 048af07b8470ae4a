// The instrument function's exit statuses and messages as a program shows
// them: the instrument-function test program run on small profile files and
// tables, one fault per run.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gerfixtures.hpp"
#include "testsupport.hpp"

namespace model {

using gerfix::Block;
using gerfix::GeqHeader;
using gerfix::GeqRecord;

namespace {

// The catalogue text of message n with its arguments.
template <class... Args>
std::string text(int n, Args... args) {
  std::string all = ktest::read_file(std::string(KALVO_SOURCE_DATA) + "/err.msg");
  std::string prefix = "\n" + std::to_string(n) + " ";
  size_t at = all.find(prefix);
  if (at == std::string::npos) {
    ADD_FAILURE() << "message " << n << " missing";
    return "<no message>";
  }
  at += prefix.size();
  std::string raw = all.substr(at, all.find('\n', at) - at), fmt;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == 'n') {
      fmt += '\n';
      ++i;
    } else {
      fmt += raw[i];
    }
  }
  if constexpr (sizeof...(Args) == 0) {
    return fmt;
  } else {
    char buf[4000];
    std::snprintf(buf, sizeof buf, fmt.c_str(), args...);
    return buf;
  }
}

struct ProbastRun {
  ktest::TempInstall install{{"err.msg", "probast.cfg"}};
  ktest::TempDir work;

  ktest::RunResult probast(double twotheta, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"run", "LINTOR=inst", "zweiTheta=" + std::to_string(twotheta),
                                  "SAVE=N"};
    args.insert(args.end(), more.begin(), more.end());
    return ktest::run_program(ktest::program_path("probast"), args, work.path(),
                              {{"KALVO", install.path()}});
  }
};

const std::vector<GeqRecord> kGrid{{0.30f, {1.0f}, {0.0f}, {0.001f}},
                                   {0.35f, {1.0f}, {0.0f}, {0.0011f}}};

}  // namespace

TEST(GerneuProgram, FaultsEndWithTheirStatusAndMessage) {
  ASSERT_TRUE(ktest::file_exists(ktest::program_path("probast")))
      << "build the program probast first";
  const Block good{20, {{1, 0, 0.001}}};
  const Block good2{30, {{1, 0, 0.0012}}};
  struct Case {
    const char* what;
    std::string ger;       // empty: no profile file
    std::string geqmagic;  // empty: no table
    std::vector<GeqRecord> grid;
    double twotheta;
    std::vector<std::string> keys;
    int status;
    std::string message;
  } cases[] = {
      {"bad data line",
       "TITEL=x\nTHETA=20 N=2\n1 0 0.001\n1 0 0\n",
       "",
       {},
       40,
       {},
       11,
       text(-11, "inst.ger", 4)},
      {"unknown arrangement",
       "ZELMARRY=FLAT\n" + gerfix::ger_block(good),
       "",
       {},
       40,
       {},
       172,
       text(-172, "FLAT", "inst.ger")},
      {"tube tails differ from the table",
       "TubeTails=0\n" + gerfix::ger_block(good),
       "GEQ.V2",
       kGrid,
       40,
       {},
       7,
       text(-7)},
      {"arrangement differs from the table",
       "TubeTails=0\n" + gerfix::ger_block(good),
       "GEQ.C1",
       kGrid,
       40,
       {},
       173,
       text(-173)},
      {"grid point without components",
       "",
       "GEQ.V1",
       {{0.3f, {1.0f}, {0.0f}, {0.001f}}, {0.31f, {}, {}, {}, 0}},
       40,
       {},
       12,
       text(-12)},
      {"angle beyond the measured records",
       gerfix::ger_text("TITEL=x", {good, good2}),
       "",
       {},
       80,
       {},
       14,
       text(-14)},
      {"angle outside the table without records", "", "GEQ.V1", kGrid, 80, {}, 13, text(-13)},
      {"accuracy no fit can reach",
       gerfix::ger_text("TITEL=x", {good, good2}),
       "",
       {},
       50,
       {"EPSG=0"},
       15,
       text(-15)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProbastRun run;
    if (!c.ger.empty()) ktest::write_file(run.work.file("inst.ger"), c.ger);
    if (!c.geqmagic.empty()) {
      GeqHeader h;
      h.magic = c.geqmagic;
      h.smin = 0.3f;
      h.smax = 0.35f;
      gerfix::write_geq(run.work.file("inst.geq"), h, c.grid);
    }
    ktest::RunResult r = run.probast(c.twotheta, c.keys);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
}

// Warnings leave the run going: a damaged table is ignored and the profile
// file serves; a missing profile file beside a good table is told.
TEST(GerneuProgram, WarningsLeaveTheRunGoing) {
  {
    ProbastRun run;
    ktest::write_file(run.work.file("inst.geq"), "GEQ.X1");
    gerfix::write_ger(run.work.file("inst.ger"), "TITEL=x", {{20, {{1, 0, 0.001}}}});
    ktest::RunResult r = run.probast(40);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(text(12, "inst.geq")), std::string::npos) << r.out;
  }
  {
    ProbastRun run;
    GeqHeader h;
    h.smin = 0.3f;
    h.smax = 0.35f;
    gerfix::write_geq(run.work.file("inst.geq"), h, kGrid);
    ktest::RunResult r = run.probast(38);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(text(120, "inst.ger")), std::string::npos) << r.out;
  }
}

}  // namespace model

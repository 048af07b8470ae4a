// The GEQ table builder, run as a program on small instrument profiles: the
// bytes of the table, its grid, the table read back by the instrument
// function, the old table kept safe on every failure, the zero-shift keys of
// the run left as they were, and the fatal exits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "geqrun.hpp"
#include "gerfixtures.hpp"
#include "model/gerneu.hpp"
#include "testsupport.hpp"

namespace quindle {
using namespace core;
using namespace model;

namespace {

using geqrun::message;
using geqrun::Table;
using gerfix::Block;
using gerfix::Component;

constexpr double kPi = 3.141592653589793;

float sinhalf(double twotheta) { return static_cast<float>(std::sin(twotheta * kPi / 360)); }

// Temporary and lock files left in a directory, by name.
std::string leftovers(const std::string& dir) {
  std::string found;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (name.rfind(".tmp", 0) == 0 || name.find(".lock") != std::string::npos) found += name + " ";
  }
  return found;
}

// Two measured records around 2theta 50 (the refit path of the instrument
// function) and one record at 2theta 50 alone (the scaling path).
const std::vector<Block> kTwoRecords = {
    {20, {{0.7, 0.0001, 0.0004}, {0.3, -0.0002, 0.0008}}},
    {30, {{0.6, 0.0002, 0.0006}, {0.4, -0.0003, 0.0010}}},
};
const std::vector<Block> kOneRecord = {{25, {{0.8, 0.0001, 0.0005}, {0.2, -0.0003, 0.0009}}}};

// The instrument function evaluated in this process, on a fresh store.
class InProcess {
 public:
  explicit InProcess(const std::string& installation) {
    std::snprintf(kalvo, sizeof kalvo, "%s", installation.c_str());
    nodesfree();
    totalfree();
    newDATAlist();
    setrekart(2);
    gererr = 1;
  }
  ~InProcess() {
    ger2();
    while (ondataLevel() > 0) dataerr_oldjmp();
    totalfree();
    nodesfree();
  }
  InProcess(const InProcess&) = delete;
  InProcess& operator=(const InProcess&) = delete;
};

class Quindle : public ::testing::Test {
 protected:
  geqrun::Workplace wp;

  void ger(const std::string& name, const std::vector<Block>& blocks,
           const std::string& header = "TITEL=test") {
    gerfix::write_ger(wp.file(name + ".ger"), header, blocks);
  }
  ktest::RunResult quindle(const std::vector<std::string>& statements) {
    return wp.run("quindle", statements);
  }
  std::string bytes(const std::string& name) { return ktest::read_file(wp.file(name)); }
  Table table(const std::string& name) { return geqrun::parse(bytes(name)); }

  // What the table must hold: the header fields as given and, per grid
  // angle, the components that the instrument function gives for the same
  // profile file in this process.
  std::string expected(const std::vector<Block>& blocks, const std::string& header_line,
                       const gerfix::GeqHeader& h, const std::vector<double>& angles) {
    ktest::TempDir ref;
    gerfix::write_ger(ref.file("inst.ger"), header_line, blocks);
    std::string out = gerfix::geq_header(h);
    InProcess store(wp.install.path());
    ger1(ref.file("inst").c_str());
    for (double x : angles) {
      float s = sinhalf(x);
      model::ger(s);
      out += gerfix::geq_record({s, std::vector<float>(g, g + n), std::vector<float>(e, e + n),
                                 std::vector<float>(q, q + n)});
    }
    return out;
  }
};

TEST_F(Quindle, TableBytesAreHeaderAndTheInstrumentFunctionPerGridAngle) {
  ger("inst", kTwoRecords);
  ktest::RunResult r = quindle({"LINTOR=inst", "WMIN=49.5", "WMAX=50.5", "WSTEP=0.5"});
  ASSERT_EQ(r.status, 0) << r.out;
  gerfix::GeqHeader h;
  h.magic = "GEQ.V1";
  h.dr = 0;
  h.ratio = 10;
  h.smin = sinhalf(49.5);
  h.smax = sinhalf(50.5);
  h.name = "inst";
  std::string want = expected(kTwoRecords, "TITEL=test", h, {49.5, 50, 50.5});
  std::string got = bytes("inst.geq");
  ASSERT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want) << "the table differs from its expected bytes";
  // The header as it lies in the file, field by field.
  EXPECT_EQ(got.substr(0, 8), std::string("GEQ.V1\0\0", 8));
  EXPECT_EQ(got.substr(24, 100), std::string("inst") + std::string(96, '\0'));
  // One progress line per record.
  EXPECT_NE(r.out.find("zweiTheta=49.500  N="), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("zweiTheta=50.500  N="), std::string::npos) << r.out;
  EXPECT_FALSE(ktest::file_exists(wp.file("inst.get")));
}

// Magic and ratios from the arrangement, the tube tails and the distances.
TEST_F(Quindle, HeaderFollowsArrangementTubeTailsAndDistances) {
  struct Case {
    const char* ger_header;
    std::vector<std::string> keys;
    const char* magic;
    float dr, ratio;
  };
  const Case cases[] = {
      {"TITEL=plain", {}, "GEQ.V1", 0.0f, 10.0f},
      {"TITEL=plain", {"D==2", "R==200"}, "GEQ.V1", 0.01f, 10.0f},
      {"ZELMARRY=REFLEXION TubeTails=1", {"D==2", "R==200", "T==0.5"}, "GEQ.V2", 0.01f, 0.25f},
      {"ZELMARRY=TRANSMISSION", {"D==2", "R==200", "T==0.5"}, "GEQ.T1", 0.01f, 0.0025f},
      {"ZELMARRY=CAPILLARY TubeTails=0.5",
       {"D==0.4", "R==200", "T==0.2"},
       "GEQ.C2",
       0.002f,
       0.001f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.ger_header) + " " + (c.keys.empty() ? "" : c.keys[0]));
    ger("inst", kOneRecord, c.ger_header);
    std::vector<std::string> st{"LINTOR=inst", "WMIN=50", "WMAX=50", "SAVE=N"};
    st.insert(st.end(), c.keys.begin(), c.keys.end());
    ktest::RunResult r = quindle(st);
    ASSERT_EQ(r.status, 0) << r.out;
    Table t = table("inst.geq");
    EXPECT_EQ(t.magic, std::string(c.magic) + std::string(2, '\0'));
    EXPECT_EQ(t.dr, c.dr);
    EXPECT_EQ(t.ratio, c.ratio);
    EXPECT_EQ(t.records.size(), 1u);
  }
}

// A name longer than the field keeps its first 99 bytes and the zero; the
// table itself lies beside the profile file in the named directory.
TEST_F(Quindle, LongInstrumentNameIsCutInTheNameField) {
  std::string dir(120, 'd');
  ASSERT_EQ(::mkdir(wp.file(dir).c_str(), 0755), 0);
  std::string name = dir + "/inst";
  ger(name, kOneRecord);
  ktest::RunResult r = quindle({"LINTOR=" + name, "WMIN=50", "WMAX=50"});
  ASSERT_EQ(r.status, 0) << r.out;
  Table t = table(name + ".geq");
  EXPECT_EQ(t.name, name.substr(0, 99) + std::string(1, '\0'));
  EXPECT_TRUE(t.whole);
}

// The grid: WMIN up to WMAX inclusive in steps of |WSTEP|, never below 0.01,
// counted by index so that rounding neither adds nor drops an angle.
TEST_F(Quindle, GridFollowsWminWmaxAndWstep) {
  ger("inst", kOneRecord);
  struct Case {
    double wmin, wmax;
    const char* wstep;  // null: not given
  };
  const Case cases[] = {
      {50, 50, nullptr}, {51, 50, "0.5"},     {50, 52, "0.5"},     {50, 52, "-0.5"},
      {50, 50.1, "0"},   {50, 50.1, "0.001"}, {50, 50.1, nullptr}, {50, 53, "0.75"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.wmin) + " " + std::to_string(c.wmax) + " " +
                 (c.wstep ? c.wstep : "-"));
    // The grid the program must walk: WMIN + k step.
    double step = c.wstep ? std::fmax(std::fabs(std::atof(c.wstep)), 0.01) : 0.01;
    std::vector<float> want;
    for (int k = 0; c.wmin + k * step <= c.wmax; ++k) want.push_back(sinhalf(c.wmin + k * step));
    char wmin[64], wmax[64];
    std::snprintf(wmin, sizeof wmin, "WMIN=%.17g", c.wmin);
    std::snprintf(wmax, sizeof wmax, "WMAX=%.17g", c.wmax);
    std::vector<std::string> st{"LINTOR=inst", wmin, wmax, "SAVE=N"};
    // The configuration's WSTEP would answer otherwise.
    st.push_back(c.wstep ? std::string("WSTEP=") + c.wstep : "WSTEP=0.01");
    ktest::RunResult r = quindle(st);
    ASSERT_EQ(r.status, 0) << r.out;
    Table t = table("inst.geq");
    EXPECT_TRUE(t.whole);
    EXPECT_EQ(t.smin, sinhalf(c.wmin));
    EXPECT_EQ(t.smax, sinhalf(c.wmax));
    ASSERT_EQ(t.records.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) EXPECT_EQ(t.records[k].s, want[k]) << k;
  }
}

TEST_F(Quindle, DefaultGridAndWstepFormulaSeeingTheAngleJustWritten) {
  ger("inst", kOneRecord);
  // The configuration's grid, 20 to 140 by 0.01.
  ktest::RunResult r = quindle({"LINTOR=inst", "SAVE=N"});
  ASSERT_EQ(r.status, 0) << r.out;
  Table t = table("inst.geq");
  size_t count = 0;
  while (20 + count * 0.01 <= 140) ++count;
  EXPECT_EQ(t.records.size(), count);
  EXPECT_EQ(t.smin, sinhalf(20));
  EXPECT_EQ(t.smax, sinhalf(140));

  // Steps of 0.5 while the angle written is below 51, then 1.
  r = quindle({"LINTOR=inst", "WMIN=50", "WMAX=53", "WSTEP=ifthenelse(lt(zweiTheta,51),0.5,1)"});
  ASSERT_EQ(r.status, 0) << r.out;
  t = table("inst.geq");
  std::vector<float> want = {sinhalf(50), sinhalf(50.5), sinhalf(51), sinhalf(52), sinhalf(53)};
  ASSERT_EQ(t.records.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) EXPECT_EQ(t.records[k].s, want[k]) << k;
  // The angle of the scope never reaches the control file.
  std::string saved = "\n" + ktest::read_file(wp.file("run.sav"));
  EXPECT_EQ(saved.find("\nzweiTheta="), std::string::npos) << saved;
}

// Read back by the instrument function, the table gives at every grid angle
// the components written there, with the zero shift of the reading run added.
TEST_F(Quindle, InstrumentFunctionReturnsTheTabulatedComponents) {
  ger("inst", kTwoRecords);
  ktest::RunResult r = quindle({"LINTOR=inst", "WMIN=48", "WMAX=52", "WSTEP=0.25"});
  ASSERT_EQ(r.status, 0) << r.out;
  Table t = table("inst.geq");
  ASSERT_EQ(t.records.size(), 17u);
  for (double eps1 : {0.0, 0.002}) {
    InProcess store(wp.install.path());
    if (eps1 != 0) SetVar("EPS1", eps1);
    ger1(wp.file("inst").c_str());
    ASSERT_NE(gertable(), nullptr);
    for (const geqrun::Record& rec : t.records) {
      model::ger(rec.s);
      ASSERT_EQ(n, static_cast<int>(rec.g.size()));
      for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(g[i], rec.g[i], 2e-7 * rec.g[i]);
        EXPECT_FLOAT_EQ(e[i], static_cast<float>(rec.e[i] + eps1));
        EXPECT_EQ(q[i], rec.q[i]);
      }
    }
  }
}

// An old table beside the profile file (here of another arrangement, which
// the loader would refuse together with this profile file) has no say in the
// new table, which replaces it.
TEST_F(Quindle, OldTableIsParkedWhileLoadingAndReplaced) {
  ger("inst", kOneRecord);
  std::vector<std::string> st{"LINTOR=inst", "WMIN=50", "WMAX=51", "WSTEP=0.5"};
  ASSERT_EQ(quindle(st).status, 0);
  std::string fresh = bytes("inst.geq");

  gerfix::GeqHeader old;
  old.magic = "GEQ.T1";
  gerfix::write_geq(wp.file("inst.geq"), old, {{0.4f, {1}, {0.5f}, {0.1f}}});
  ktest::write_file(wp.file("inst.get"), "left over");
  ktest::RunResult r = quindle(st);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(bytes("inst.geq") == fresh);
  EXPECT_FALSE(ktest::file_exists(wp.file("inst.get")));

  // With GEQ the table beside the profile file stays as it is.
  std::string kept = gerfix::geq_bytes(old, {{0.4f, {1}, {0.5f}, {0.1f}}});
  ktest::write_file(wp.file("inst.geq"), kept);
  st.push_back("GEQ=other.xyz");
  r = quindle(st);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(bytes("inst.geq") == kept);
  EXPECT_TRUE(bytes("other.geq") == fresh);
  EXPECT_FALSE(ktest::file_exists(wp.file("inst.get")));
  EXPECT_FALSE(ktest::file_exists(wp.file("other.get")));
}

// Every failure leaves the old table byte for byte where it was and no
// temporary file behind.
TEST_F(Quindle, FailuresKeepTheOldTable) {
  struct Case {
    const char* what;
    std::vector<std::string> statements;
    int status;
    std::string text;   // expected in the output
    const char* setup;  // what the work directory holds besides the table
  };
  // The shell's default for the file-size limit is to end the program; the
  // program itself turns it into a failed write.
  std::string shell = "ulimit -f 1; exec " + ktest::program_path("quindle") +
                      " run LINTOR=inst WMIN=50 WMAX=70 WSTEP=0.01";
  const Case cases[] = {
      {"profile file unreadable while the table is parked", {"LINTOR=bad"}, 11, "bad.ger", "bad"},
      {"instrument function fails at 2theta 180",
       {"LINTOR=inst", "WMIN=120", "WMAX=180", "WSTEP=20"},
       14,
       message(-14),
       ""},
      {"temporary file cannot be created",
       {"LINTOR=inst", "GEQ=nowhere/x"},
       153,
       message(-153, "nowhere/x.geq"),
       ""},
      {"final name is a directory",
       {"LINTOR=inst", "WMIN=50", "WMAX=50", "GEQ=blocked"},
       82,
       message(-82, "blocked.geq"),
       "blocked"},
      {"parking place cannot be used", {"LINTOR=inst"}, 153, message(-153, "inst.get"), "parkdir"},
      {"step formula fails on the grid",
       {"LINTOR=inst", "WMIN=50", "WMAX=51", "WSTEP=0.5+nokey*(zweiTheta>50.2)"},
       1,
       "(E) ",
       ""},
      {"file size limit while writing", {}, 82, message(-82, "inst.geq"), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    geqrun::Workplace place;
    gerfix::write_ger(place.file("inst.ger"), "TITEL=test", kOneRecord);
    gerfix::write_ger(place.file("bad.ger"), "TITEL=test", {{25, {{-0.1, 0.0001, 0.0005}}}});
    gerfix::GeqHeader old;
    std::string oldbytes = gerfix::geq_bytes(old, {{0.4f, {1}, {0.5f}, {0.1f}}});
    std::string table =
        std::string(c.statements.empty() || c.statements[0] != "LINTOR=bad" ? "inst" : "bad") +
        ".geq";
    ktest::write_file(place.file(table), oldbytes);
    std::string setup = c.setup;
    if (setup == "blocked") {
      ASSERT_EQ(::mkdir(place.file("blocked.geq").c_str(), 0755), 0);
      ktest::write_file(place.file("blocked.geq/keep"), "x");
    }
    if (setup == "parkdir") {
      ASSERT_EQ(::mkdir(place.file("inst.get").c_str(), 0755), 0);
      ktest::write_file(place.file("inst.get/keep"), "x");
    }
    ktest::RunResult r = c.statements.empty()
                             ? ktest::run_program("/bin/sh", {"-c", shell}, place.work.path(),
                                                  {{"KALVO", place.install.path()}})
                             : place.run("quindle", c.statements);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
    EXPECT_TRUE(ktest::read_file(place.file(table)) == oldbytes);
    if (setup != "parkdir") {
      EXPECT_FALSE(ktest::file_exists(place.file("inst.get")));
    }
    EXPECT_FALSE(ktest::file_exists(place.file("bad.get")));
    EXPECT_EQ(leftovers(place.work.path()), "");
    // A failed run saves no control file.
    EXPECT_FALSE(ktest::file_exists(place.file("run.sav")));
  }
}

// An operator who stops a long tabulation keeps the old table, and no
// temporary file is left behind.
TEST_F(Quindle, InterruptKeepsTheOldTable) {
  // Records far apart: every grid angle needs the refit, which takes seconds
  // for the default grid.
  ger("inst", {{10, {{0.7, 0.0001, 0.0004}, {0.3, -0.0002, 0.0008}}},
               {70, {{0.6, 0.0002, 0.0006}, {0.4, -0.0003, 0.0010}}}});
  std::string oldbytes = gerfix::geq_bytes(gerfix::GeqHeader{}, {{0.4f, {1}, {0.5f}, {0.1f}}});
  ktest::write_file(wp.file("inst.geq"), oldbytes);
  std::string script =
      ktest::program_path("quindle") +
      " run LINTOR=inst SAVE=N > log & pid=$!\n"
      "i=0\n"
      "while ! grep -q zweiTheta= log && [ $i -lt 2000 ]; do sleep 0.01; i=$((i+1)); done\n"
      "kill -TERM $pid\n"
      "wait $pid\n"
      "echo status=$?\n";
  ktest::RunResult r =
      ktest::run_program("/bin/sh", {"-c", script}, wp.work.path(), {{"KALVO", wp.install.path()}});
  EXPECT_EQ(r.out, "status=143\n");
  EXPECT_TRUE(bytes("inst.geq") == oldbytes);
  EXPECT_FALSE(ktest::file_exists(wp.file("inst.get")));
  EXPECT_EQ(leftovers(wp.work.path()), "");
}

// A table moved aside while the instrument-profile file loads survives every
// signal: an ending signal puts it back at once, a broken pipe or the
// file-size limit is no reason to end, and after a kill, which nothing can
// catch, the next run puts it back. The profile file holds ten thousand
// blocks, so that the run loads it for a while with the table moved aside,
// and the signal comes as soon as the table is seen moved aside (a named
// pipe as profile file, which would hold the run in the load, is refused).
TEST_F(Quindle, MovedAsideTableSurvivesSignals) {
  const std::string oldbytes =
      gerfix::geq_bytes(gerfix::GeqHeader{}, {{0.4f, {1}, {0.5f}, {0.1f}}});
  // The table a run that is left alone makes.
  std::vector<Block> many;
  for (int k = 0; k < 10000; ++k) many.push_back({10 + 70.0 * k / 10000, kOneRecord[0].comps});
  gerfix::write_ger(wp.file("good.ger"), "TITEL=test", many);
  ger("inst", many);
  ASSERT_EQ(quindle({"LINTOR=inst", "WMIN=50", "WMAX=51", "WSTEP=0.5", "SAVE=N"}).status, 0);
  const std::string fresh = bytes("inst.geq");
  struct Case {
    const char* signal;
    bool feed;  // the run goes on to its end
    int status;
  };
  // (A background job of the shell ignores INT and QUIT, and the program
  // leaves them ignored; TERM stands for the ending signals.)
  const Case cases[] = {
      {"TERM", false, 143}, {"HUP", false, 129},  {"PIPE", true, 0},
      {"XFSZ", true, 0},    {"KILL", false, 137},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    geqrun::Workplace place;
    ktest::write_file(place.file("inst.geq"), oldbytes);
    ktest::write_file(place.file("good.ger"), ktest::read_file(wp.file("good.ger")));
    std::string script = std::string("cp good.ger inst.ger\n") + "$P run LINTOR=inst WMIN=50 " +
                         "WMAX=51 WSTEP=0.5 SAVE=N > log & pid=$!\n" +
                         "i=0; while [ ! -e inst.get ] && [ $i -lt 100000 ]; do " +
                         "i=$((i+1)); done\n" + "kill -s " + c.signal + " $pid\n" +
                         "wait $pid; echo status=$?\n";
    ktest::RunResult r = ktest::run_program(
        "/bin/sh", {"-c", script}, place.work.path(),
        {{"KALVO", place.install.path()}, {"P", ktest::program_path("quindle")}});
    EXPECT_EQ(r.out, "status=" + std::to_string(c.status) + "\n");
    std::string log = ktest::read_file(place.file("log"));
    if (c.feed) {
      EXPECT_TRUE(ktest::read_file(place.file("inst.geq")) == fresh) << log;
    } else if (c.status == 137) {
      // Killed with the table moved aside: the next run puts it back, and
      // with GEQ elsewhere it stays there.
      EXPECT_FALSE(ktest::file_exists(place.file("inst.geq")));
      EXPECT_TRUE(ktest::read_file(place.file("inst.get")) == oldbytes);
      ktest::RunResult next =
          place.run("quindle", {"LINTOR=inst", "WMIN=50", "WMAX=51", "WSTEP=0.5", "GEQ=other"});
      EXPECT_EQ(next.status, 0) << next.out;
      EXPECT_NE(next.out.find(message(87, "inst.geq", "inst.get")), std::string::npos) << next.out;
      EXPECT_TRUE(ktest::read_file(place.file("inst.geq")) == oldbytes);
      EXPECT_TRUE(ktest::read_file(place.file("other.geq")) == fresh);
    } else {
      EXPECT_TRUE(ktest::read_file(place.file("inst.geq")) == oldbytes) << log;
    }
    EXPECT_FALSE(ktest::file_exists(place.file("inst.get")));
    EXPECT_EQ(leftovers(place.work.path()), "");
  }
}

// Runs on one table take turns: a run finds the table locked by another run,
// waits a few seconds and stops without touching it; two runs at once leave
// the whole table of one of them.
TEST_F(Quindle, RunsOnOneTableTakeTurns) {
  ger("inst", kOneRecord);
  const std::string oldbytes =
      gerfix::geq_bytes(gerfix::GeqHeader{}, {{0.4f, {1}, {0.5f}, {0.1f}}});
  {
    SCOPED_TRACE("the lock held by another run");
    ktest::write_file(wp.file("inst.geq"), oldbytes);
    int fd = ::open(wp.file("inst.geq.lock").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    for (const char* geq : {"GEQ=inst", "GEQ=other"}) {
      ktest::RunResult r = quindle({"LINTOR=inst", "WMIN=50", "WMAX=51", geq});
      EXPECT_EQ(r.status, 87) << r.out;
      EXPECT_NE(r.out.find(message(-87, "inst.geq", "inst.geq.lock")), std::string::npos) << r.out;
      EXPECT_TRUE(bytes("inst.geq") == oldbytes);
      EXPECT_FALSE(ktest::file_exists(wp.file("other.geq")));
      EXPECT_FALSE(ktest::file_exists(wp.file("inst.get")));
      EXPECT_FALSE(ktest::file_exists(wp.file("run.sav")));
    }
    // The lock file is the other run's: left where it is.
    EXPECT_TRUE(ktest::file_exists(wp.file("inst.geq.lock")));
    ::close(fd);
    ASSERT_EQ(std::remove(wp.file("inst.geq.lock").c_str()), 0);
  }

  // Two grids, each table made alone first.
  const std::vector<std::string> a{"LINTOR=inst", "WMIN=40", "WMAX=60", "WSTEP=0.01", "SAVE=N"};
  const std::vector<std::string> b{"LINTOR=inst", "WMIN=45", "WMAX=65", "WSTEP=0.02", "SAVE=N"};
  ASSERT_EQ(quindle(a).status, 0);
  const std::string tablea = bytes("inst.geq");
  ASSERT_EQ(quindle(b).status, 0);
  const std::string tableb = bytes("inst.geq");
  auto line = [](const std::vector<std::string>& st) {
    std::string s;
    for (const auto& x : st) s += " " + x;
    return s;
  };
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("two runs at once, round " + std::to_string(round));
    ktest::write_file(wp.file("inst.geq"), oldbytes);
    std::string script = "$P a" + line(a) + " > la & pa=$!\n$P b" + line(b) +
                         " > lb & pb=$!\nwait $pa; sa=$?; wait $pb; echo $sa $?\n";
    ktest::RunResult r =
        ktest::run_program("/bin/sh", {"-c", script}, wp.work.path(),
                           {{"KALVO", wp.install.path()}, {"P", ktest::program_path("quindle")}});
    std::string got = bytes("inst.geq");
    EXPECT_TRUE(got == tablea || got == tableb) << got.size() << " bytes";
    // Each run made its table or says that it found the other one at work.
    for (const auto& [status, log] : {std::pair{r.out.substr(0, r.out.find(' ')), "la"},
                                      std::pair{r.out.substr(r.out.find(' ') + 1), "lb"}}) {
      std::string text = ktest::read_file(wp.file(log));
      if (status != "0\n" && status != "0") {
        EXPECT_NE(text.find(message(-87, "inst.geq", "inst.geq.lock")), std::string::npos)
            << status << text;
      }
    }
    EXPECT_FALSE(ktest::file_exists(wp.file("inst.get")));
    EXPECT_EQ(leftovers(wp.work.path()), "");
  }
}

// A grid that would never end or fill the disk is refused before anything is
// written; one far out of range but empty ends at once.
TEST_F(Quindle, AbsurdGridsEnd) {
  ger("inst", kOneRecord);
  const std::string oldbytes =
      gerfix::geq_bytes(gerfix::GeqHeader{}, {{0.4f, {1}, {0.5f}, {0.1f}}});
  struct Case {
    std::vector<std::string> statements;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {{"WMIN=1.5e17"}, 0, ""},
      {{"WMIN=1.5e17", "WMAX=2e17"}, 88, message(-88, 1.5e17, 2e17, 100000)},
      {{"WMIN=20", "WMAX=1e9", "WSTEP=1"}, 88, message(-88, 20.0, 1e9, 100000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statements.back());
    ktest::write_file(wp.file("inst.geq"), oldbytes);
    std::vector<std::string> st{"LINTOR=inst", "SAVE=N"};
    st.insert(st.end(), c.statements.begin(), c.statements.end());
    ktest::RunResult r = quindle(st);
    EXPECT_EQ(r.status, c.status) << r.out.substr(0, 2000);
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out.substr(0, 2000);
    if (c.status == 0)
      EXPECT_EQ(table("inst.geq").records.size(), 0u);
    else
      EXPECT_TRUE(bytes("inst.geq") == oldbytes);
    EXPECT_EQ(leftovers(wp.work.path()), "");
  }
}

// The table is built without zero shift, and the run's own zero-shift keys
// are saved as they were: formulas as formulas, numbers as numbers, in their
// places, and keys of the configuration stay there.
TEST_F(Quindle, ZeroShiftKeysAreOffWhileTabulatingAndKeptAsWritten) {
  ger("inst", kTwoRecords);
  std::vector<std::string> st{"LINTOR=inst", "WMIN=50", "WMAX=51", "WSTEP=0.5"};
  ASSERT_EQ(wp.run("quindle", st, "plain").status, 0);
  std::string plain = bytes("inst.geq");

  const std::string control =
      "LINTOR=inst\n"
      "EPS1=0.001*2\n"
      "WMIN=50\n"
      "EPS2==5.0000000000000000E-01 \n"
      "WMAX=51\n"
      "EPS4=EPS1/2\n"
      "WSTEP=0.5\n";
  ktest::write_file(wp.file("run.sav"), control);
  std::string cfg = ktest::read_file(wp.install.file("quindle.cfg"));
  ktest::write_file(wp.install.file("quindle.cfg"), cfg + "EPS3=0.25\n");
  ktest::RunResult r = wp.run("quindle", {});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(bytes("inst.geq") == plain);
  EXPECT_EQ(ktest::read_file(wp.file("run.sav")), control);
  EXPECT_NE(ktest::read_file(wp.install.file("quindle.cfg")).find("EPS3=0.25\n"),
            std::string::npos);
}

TEST_F(Quindle, FatalExits) {
  ger("inst", kOneRecord);
  ger("trans", kOneRecord, "ZELMARRY=TRANSMISSION");
  ger("cap", kOneRecord, "ZELMARRY=CAPILLARY");
  struct Case {
    std::vector<std::string> statements;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {{"WMIN=50"}, 56, message(-56)},
      {{"LINTOR=trans", "R==200", "T==1"}, 131, message(-131)},
      {{"LINTOR=trans", "D==0", "R==200", "T==1"}, 131, message(-131)},
      {{"LINTOR=cap", "D==2", "R==200"}, 131, message(-131)},
      {{"LINTOR=cap", "D==2", "R==200", "T==0"}, 131, message(-131)},
      {{"LINTOR=cap", "D==2", "T==1"}, 131, message(-131)},
      // A ratio with a divisor of 0 would put infinity into the header.
      {{"LINTOR=inst", "D==2", "R==0"}, 131, message(-131)},
      {{"LINTOR=inst", "D==0", "T==1"}, 131, message(-131)},
      {{"LINTOR=trans", "D==2", "R==0", "T==1"}, 131, message(-131)},
      {{"LINTOR=cap", "D==2", "R==1e-300", "T==1e300"}, 131, message(-131)},
      // A grid key whose formula fails is the store's error, not the default.
      {{"LINTOR=inst", "WMIN=nokey*2"}, 1, "(E) "},
      {{"LINTOR=inst", "WMAX=1/(", "WMIN=50"}, 1, "(E) "},
      // A missing profile file is named; no table is made from LINTOR as a width.
      {{"LINTOR=none"}, 107, message(-107, "none.ger", "No such file or directory")},
      {{"LINTOR=inst", "WMIN=50", "WMAX=50", "GEQ=nowhere/x"}, 153, message(-153, "nowhere/x.geq")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statements[0] + " " + std::to_string(c.status));
    ktest::RunResult r = quindle(c.statements);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
    EXPECT_FALSE(ktest::file_exists(wp.file("trans.geq")));
    EXPECT_FALSE(ktest::file_exists(wp.file("cap.geq")));
    EXPECT_FALSE(ktest::file_exists(wp.file("trans.get")));
    EXPECT_FALSE(ktest::file_exists(wp.file("cap.get")));
  }
}

// A table that a stopped run left moved aside cannot be put back when its
// folder is closed to the user: the run ends with the names of both places
// and the moved-aside table is left as it was, where the next run can take
// it back.
TEST(QuindleMovedAside, TableThatCannotBePutBackEndsTheRun) {
  if (!ktest::can_run_unprivileged()) GTEST_SKIP() << "needs an unprivileged user";
  geqrun::Workplace place;
  ::chmod(place.work.path().c_str(), 0777);
  ::chmod(place.install.path().c_str(), 0777);
  const std::string lab = place.file("lab");
  ASSERT_EQ(::mkdir(lab.c_str(), 0777), 0);
  gerfix::write_ger(lab + "/inst.ger", "TITEL=test", kOneRecord);
  gerfix::GeqHeader old;
  const std::string oldbytes = gerfix::geq_bytes(old, {{0.4f, {1}, {0.5f}, {0.1f}}});
  ktest::write_file(lab + "/inst.get", oldbytes);
  // The lock file of the table exists and is open to the user; only the
  // folder is closed.
  ktest::write_file(lab + "/inst.geq.lock", "");
  ::chmod((lab + "/inst.geq.lock").c_str(), 0666);
  ::chmod(lab.c_str(), 0555);
  ktest::RunResult r =
      ktest::run_unprivileged(ktest::program_path("quindle"), {"run", "LINTOR=lab/inst", "SAVE=N"},
                              place.work.path(), {{"KALVO", place.install.path()}});
  ::chmod(lab.c_str(), 0777);
  EXPECT_EQ(r.status, 83) << r.out << r.err;
  EXPECT_NE(r.out.find(message(-83, "lab/inst.get", "lab/inst.geq")), std::string::npos) << r.out;
  EXPECT_TRUE(ktest::read_file(lab + "/inst.get") == oldbytes);
  EXPECT_FALSE(ktest::file_exists(lab + "/inst.geq"));
}

}  // namespace

}  // namespace quindle

// The instrument function at many angles on the worker pool (gerbatch) and
// the per-point profile tables built with it. Whatever the number of
// workers, every angle must get the components that ger gives when it is
// called angle by angle on the calling thread: bit for bit from a table, a
// single record or a formula, and, where two records are blended and
// refitted, a line shape within a small part of the refit's tolerance of
// that refit (the batch refits on a grid of angles and interpolates); the
// components must not depend on the number of workers; the once-only
// warnings must come in the same order and number; a failure must end the
// process with the same text and status after the same warnings; and the
// tables must not depend on the number of workers.
//
// Each thread count runs in a fresh process (the pool's size is fixed once
// it exists): the helper below prints every number it computed, and the
// tests compare the printouts.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "gerfixtures.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "testsupport.hpp"

namespace model {
namespace {

constexpr double kPi = 3.141592653589793;

std::string hex(const float* v, int count) {
  std::string s;
  char buf[16];
  for (int k = 0; k < count; ++k) {
    uint32_t bits;
    std::memcpy(&bits, &v[k], sizeof bits);
    std::snprintf(buf, sizeof buf, " %08" PRIx32, bits);
    s += buf;
  }
  return s;
}

std::string hex(const double* v, int count) {
  std::string s;
  char buf[24];
  for (int k = 0; k < count; ++k) {
    uint64_t bits;
    std::memcpy(&bits, &v[k], sizeof bits);
    std::snprintf(buf, sizeof buf, " %016" PRIx64, bits);
    s += buf;
  }
  return s;
}

// The current components as one line.
std::string components(int count, const float* cg, const float* ce, const float* cq) {
  return std::to_string(count) + hex(cg, count) + hex(ce, count) + hex(cq, count) + "\n";
}

// sin theta of the angles 2theta = from, from + step, ... below to (degrees).
std::vector<float> sines(double from, double to, double step) {
  std::vector<float> s;
  for (double tt = from; tt < to - 1e-9; tt += step)
    s.push_back(static_cast<float>(std::sin(tt * kPi / 360)));
  return s;
}

// The components of one angle.
struct Shape {
  std::vector<float> g, e, q;
  std::string text;  // as components() writes them
};

Shape shape(int count, const float* cg, const float* ce, const float* cq) {
  return {std::vector<float>(cg, cg + count), std::vector<float>(ce, ce + count),
          std::vector<float>(cq, cq + count), components(count, cg, ce, cq)};
}

void takecomponents(int i, int count, const float* cg, const float* ce, const float* cq,
                    void* arg) {
  (*static_cast<std::vector<Shape>*>(arg))[static_cast<size_t>(i)] = shape(count, cg, ce, cq);
}

std::string text(const std::vector<Shape>& shapes) {
  std::string all;
  for (const Shape& p : shapes) all += p.text;
  return all;
}

// What ger prints and leaves at the angles, called one by one on this
// thread.
std::vector<Shape> serial(const std::vector<float>& s, std::string* printed) {
  std::vector<Shape> all;
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  for (float v : s) {
    ger(v);
    all.push_back(shape(n, g, e, q));
  }
  std::fflush(stdout);
  *printed = ::testing::internal::GetCapturedStdout();
  return all;
}

// The same through gerbatch.
std::vector<Shape> batch(const std::vector<float>& s, std::string* printed) {
  std::vector<Shape> points(s.size());
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  gerbatch(static_cast<int>(s.size()), s.data(), takecomponents, &points);
  std::fflush(stdout);
  *printed = ::testing::internal::GetCapturedStdout();
  return points;
}

// Two blocks of a reflecting, transmitting or capillary set-up.
void twoblocks(const std::string& path, const char* header) {
  gerfix::write_ger(path, header,
                    {{20, {{0.7, 0, 0.001}, {0.3, 0.0015, 0.0018}}},
                     {30, {{0.6, 0.0002, 0.0012}, {0.4, -0.001, 0.002}}}});
}

// The helper's set-ups, in order; each loads its instrument and gives the
// angles. They run in one process, one after the other, so that the
// penetration length left by the reflecting sample with keys D and R
// reaches the one-record case, which then warns (message 14).
struct Instrument {
  const char* name;
  std::vector<float> (*load)(const ktest::TempDir& dir);
  bool refit = false;  // two records blended and refitted
};

const Instrument kSetups[] = {
    // The measured profile of a laboratory diffractometer: five blocks,
    // refitted between them; without the keys D, R and T the sample does not
    // penetrate.
    {"laboratory",
     [](const ktest::TempDir& dir) {
       ktest::copy_file(std::string(KALVO_TEST_DATA) + "/PbSO4_instrument.ger",
                        dir.file("lab.ger"));
       ger1(dir.file("lab").c_str());
       return sines(16, 150, 2.1);
     },
     true},
    {"reflexion",
     [](const ktest::TempDir& dir) {
       core::ergibt("D==2");
       core::ergibt("R==200");
       core::ergibt("T==0.49");
       twoblocks(dir.file("refl.ger"), "ZELMARRY=REFLEXION");
       ger1(dir.file("refl").c_str());
       return sines(40.5, 60, 3.0);
     },
     true},
    {"transmission",
     [](const ktest::TempDir& dir) {
       twoblocks(dir.file("trans.ger"), "ZELMARRY=TRANSMISSION");
       ger1(dir.file("trans").c_str());
       return sines(40.5, 60, 1.5);
     },
     true},
    {"capillary",
     [](const ktest::TempDir& dir) {
       core::ergibt("T==0.05");
       twoblocks(dir.file("cap.ger"), "ZELMARRY=CAPILLARY");
       ger1(dir.file("cap").c_str());
       return sines(41, 60, 6.5);
     },
     true},
    // One block of a reflecting sample after the penetrating one: message 14.
    {"one block",
     [](const ktest::TempDir& dir) {
       gerfix::write_ger(dir.file("one.ger"), "ZELMARRY=REFLEXION",
                         {{25, {{0.7, 0, 0.0006}, {0.3, 0.0004, 0.0012}}}});
       ger1(dir.file("one").c_str());
       return sines(20, 120, 1.0);
     }},
    // A table of part of the range beside two blocks: message 13 at the
    // first angle outside the table, the blocks there.
    {"table",
     [](const ktest::TempDir& dir) {
       gerfix::GeqHeader h;
       h.smin = static_cast<float>(std::sin(46 * kPi / 360));
       h.smax = static_cast<float>(std::sin(54 * kPi / 360));
       h.ratio = 10;
       std::vector<gerfix::GeqRecord> records;
       for (int k = 0; k <= 4; ++k) {
         const float s = static_cast<float>(std::sin((46 + 2 * k) * kPi / 360));
         records.push_back({s, {0.7f, 0.3f}, {0.0f, 0.0005f * k}, {0.001f, 0.0015f + 1e-4f * k}});
       }
       gerfix::write_geq(dir.file("tab.geq"), h, records);
       twoblocks(dir.file("tab.ger"), "ZELMARRY=REFLEXION");
       ger1(dir.file("tab").c_str());
       return sines(40.5, 60, 1.0);
     }},
    // Neither table nor blocks: LINTOR is a width formula in THETA, which
    // only the calling thread can evaluate.
    {"formula",
     [](const ktest::TempDir&) {
       core::ergibt("LINTOR=0.001*(1+THETA/100)");
       ger1("/nonexistent/instrument");
       return sines(20, 120, 5.0);
     }},
};

// The measured pattern of the tables: the laboratory profile, copper
// K-alpha doublet, X-ray polarisation.
void pattern(const ktest::TempDir& dir) {
  ktest::copy_file(std::string(KALVO_TEST_DATA) + "/PbSO4_instrument.ger", dir.file("lab.ger"));
  ger1(dir.file("lab").c_str());
  freelam();
  ilam = 2;
  ij = static_cast<double*>(std::malloc(2 * sizeof(double)));
  lj = static_cast<double*>(std::malloc(2 * sizeof(double)));
  dj = static_cast<double*>(std::malloc(2 * sizeof(double)));
  ij[0] = 2.0 / 3.0, ij[1] = 1.0 / 3.0;
  lj[0] = 1.0 / 0.1540593, lj[1] = 1.0 / 0.1544427;
  dj[0] = 4e-4, dj[1] = 5e-4;
  l0 = ij[0] * lj[0] + ij[1] * lj[1];
  core::setxray(true);
  core::pol = 0.8f;
  const std::vector<float> s = sines(30, 50, 0.08);
  std::free(sinx);
  std::free(intensitaet);
  std::free(w);
  m = static_cast<int>(s.size());
  sinx = static_cast<float*>(std::malloc(s.size() * sizeof(float)));
  intensitaet = static_cast<float*>(std::calloc(s.size(), sizeof(float)));
  w = static_cast<float*>(std::calloc(s.size(), sizeof(float)));
  std::memcpy(sinx, s.data(), s.size() * sizeof(float));
}

class GerBatchHelper : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* threads = std::getenv("KTEST_GERBATCH_THREADS");
    if (threads == nullptr) GTEST_SKIP() << "runs only as the helper of the tests below";
    core::nthreads = std::atoi(threads);
    std::snprintf(core::kalvo, sizeof core::kalvo, "%s", install.path().c_str());
    core::newDATAlist();
    core::setrekart(2);
  }
  ktest::TempInstall install{{"err.msg"}};
  ktest::TempDir dir;
};

TEST_F(GerBatchHelper, Components) {
  for (const Instrument& setup : kSetups) {
    const std::vector<float> s = setup.load(dir);
    std::string serialout, batchout;
    const std::vector<Shape> one = serial(s, &serialout);
    // Loading again clears the once-only warnings.
    (void)setup.load(dir);
    const std::vector<Shape> all = batch(s, &batchout);
    if (setup.refit) {
      // Every angle's components fit the blended shape as the refit demands
      // of its own (a measure of at most 1), as those of ger do.
      ASSERT_EQ(all.size(), one.size());
      for (size_t i = 0; i < all.size(); ++i) {
        const Shape& a = one[i];
        const Shape& b = all[i];
        const int na = static_cast<int>(a.g.size()), nb = static_cast<int>(b.g.size());
        const double today = gerfitmeasure(s[i], na, a.g.data(), a.e.data(), a.q.data());
        const double batched = gerfitmeasure(s[i], nb, b.g.data(), b.e.data(), b.q.data());
        EXPECT_GE(today, 0) << setup.name << " angle " << i;
        EXPECT_LE(today, 1) << setup.name << " angle " << i;
        EXPECT_GE(batched, 0) << setup.name << " angle " << i;
        EXPECT_LE(batched, 1) << setup.name << " angle " << i << "\n" << a.text << b.text;
      }
    } else {
      EXPECT_EQ(text(all), text(one)) << setup.name;
    }
    EXPECT_EQ(batchout, serialout) << setup.name;
    EXPECT_EQ(components(n, g, e, q), all.back().text) << setup.name << ": what the batch leaves";
    std::printf("setup %s\n%sprinted %s\n", setup.name, text(all).c_str(), batchout.c_str());
  }
  ger2();
}

TEST_F(GerBatchHelper, Tables) {
  pattern(dir);
  hinit();
  const ProfileTables t = profiletables();
  ASSERT_EQ(t.points, m);
  for (int i = 0; i < m; ++i)
    std::printf("h %d%s\n", t.hdim[i], hex(t.h[i], 4 * t.hdim[i]).c_str());
  std::printf("h0%s\n", hex(t.h0, 4 * m).c_str());
  std::printf("polk%s\n", hex(t.polk, m).c_str());
  std::printf("sdata%s\n", hex(t.sdata, m).c_str());
  std::printf("sort");
  for (int i = 0; i < m; ++i) std::printf(" %d", t.sort[i]);
  std::printf("\n");
  hfrei();
  ger2();
  freelam();
  core::setxray(false);
}

// Angles inside the table, outside it (message 13), then beyond the last
// block (failure -14), then more angles that must leave no trace.
TEST_F(GerBatchHelper, Failure) {
  kSetups[5].load(dir);
  std::vector<float> s = sines(44, 60, 1.0);
  s.push_back(static_cast<float>(std::sin(90 * kPi / 360)));
  for (float v : sines(50, 60, 1.0)) s.push_back(v);
  std::vector<Shape> points(s.size());
  if (std::getenv("KTEST_GERBATCH_SERIAL") != nullptr) {
    for (float v : s) ger(v);
  } else {
    gerbatch(static_cast<int>(s.size()), s.data(), takecomponents, &points);
  }
  std::printf("not reached\n");
}

// The first words of catalogue message number.
std::string catalogued(int number) {
  std::snprintf(core::kalvo, sizeof core::kalvo, "%s", ktest::process_install().c_str());
  core::nodesfree();
  const std::string text = core::errmsg(number);
  core::nodesfree();
  return text.substr(0, 30);
}

ktest::RunResult helper(const char* test, const char* threads, bool serial = false) {
  std::map<std::string, std::string> env = {{"KTEST_GERBATCH_THREADS", threads}};
  if (serial) env["KTEST_GERBATCH_SERIAL"] = "1";
  return ktest::run_program("/proc/self/exe",
                            {std::string("--gtest_filter=GerBatchHelper.") + test}, "", env);
}

// The helper's own lines: those after its test's start line, without
// gtest's.
std::string printout(const std::string& out) {
  std::string kept;
  size_t at = 0;
  bool in = false;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    if (line.rfind("[ RUN", 0) == 0)
      in = true;
    else if (line.rfind("[  ", 0) == 0 || line.rfind("[==", 0) == 0 || line.rfind("[--", 0) == 0)
      in = false;
    else if (in)
      kept += line + "\n";
    at = end + 1;
  }
  return kept;
}

TEST(GerBatch, ComponentsAndMessagesAsAngleByAngleForAnyNumberOfWorkers) {
  std::string first;
  for (const char* threads : {"1", "2", "3", "8"}) {
    const ktest::RunResult r = helper("Components", threads);
    ASSERT_EQ(r.status, 0) << threads << " workers\n" << r.out << r.err;
    const std::string p = printout(r.out);
    if (first.empty()) {
      first = p;
      // Every set-up ran; the table and the one-block set-up warned once.
      for (const Instrument& setup : kSetups)
        EXPECT_NE(p.find(std::string("setup ") + setup.name + "\n"), std::string::npos);
      const size_t table = p.find("setup table\n"), one = p.find("setup one block\n");
      EXPECT_NE(p.find("printed " + catalogued(13), table), std::string::npos);
      EXPECT_NE(p.find("printed " + catalogued(14), one), std::string::npos);
    } else {
      EXPECT_TRUE(p == first) << threads << " workers: results differ from one worker's";
    }
  }
}

TEST(GerBatch, TablesDoNotDependOnTheNumberOfWorkers) {
  std::string first;
  for (const char* threads : {"1", "2", "3", "8"}) {
    const ktest::RunResult r = helper("Tables", threads);
    ASSERT_EQ(r.status, 0) << threads << " workers\n" << r.out << r.err;
    const std::string p = printout(r.out);
    if (first.empty()) {
      first = p;
      EXPECT_GT(p.size(), 50000u);
    } else {
      EXPECT_TRUE(p == first) << threads << " workers: tables differ from one worker's";
    }
  }
}

TEST(GerBatch, AFailureOnAWorkerEndsTheRunAsTheCallerWould) {
  const ktest::RunResult serial = helper("Failure", "8", true);
  const ktest::RunResult pooled = helper("Failure", "8");
  EXPECT_EQ(serial.status, 14) << serial.out;
  EXPECT_EQ(pooled.status, 14) << pooled.out;
  // Each run loads its files from a folder of its own, which the failure
  // names: the folders aside, the two outputs are the same.
  const auto samefolder = [](const std::string& out) {
    std::string text = printout(out);
    for (size_t at = text.find(".ger"); at != std::string::npos; at = text.find(".ger", at + 4)) {
      const size_t word = text.find_last_of(" \n", at) + 1;  // 0 when there is none
      const size_t slash = text.rfind('/', at);
      if (slash == std::string::npos || slash < word) continue;
      text.erase(word, slash + 1 - word);
      at = word;
    }
    return text;
  };
  const std::string a = samefolder(serial.out), b = samefolder(pooled.out);
  EXPECT_EQ(b, a);
  EXPECT_NE(
      b.find("2theta=90.0000 degrees; the instrument-profile file tab.ger covers 2theta=40.000 "
             "to 60.000 degrees"),
      std::string::npos)
      << b;
  EXPECT_EQ(b.find("not reached"), std::string::npos);
  // The warning of the angle outside the table, then the failure.
  const size_t w = b.find(catalogued(13)), f = b.find(catalogued(-14));
  EXPECT_NE(w, std::string::npos) << b;
  EXPECT_NE(f, std::string::npos) << b;
  EXPECT_LT(w, f);
}

}  // namespace
}  // namespace model

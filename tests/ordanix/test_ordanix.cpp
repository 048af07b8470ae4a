// End-to-end runs of the space-group database checker on small databases:
// exit statuses, messages with their arguments, warnings, the echo of the
// headers and the centring cases; finally the whole shipped database.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace ordanix {

namespace {

using ktest::message;

// Runs ordanix on a database text (none: no ordanix.dat at all).
ktest::RunResult check(const char* database, std::vector<std::string> args = {}) {
  ktest::TempInstall inst({"err.msg"});
  if (database != nullptr) ktest::write_file(inst.file("ordanix.dat"), database);
  return ktest::run_program(ktest::program_path("ordanix"), args, inst.path(),
                            {{"KALVO", inst.path()}});
}

// Small groups that pass the check.
const std::string kP1 =
    "HermannMauguin=P1 Lattice=Triclinic SpacegroupNo=1\n"
    "Wyckoff=a N=1\n"
    "x y z\n";

const std::string kP1bar =
    "HermannMauguin=P-1 Lattice=Triclinic SpacegroupNo=2\n"
    "Wyckoff=i N=2\n"
    "x y z\n"
    "-x -y -z\n"
    "Wyckoff=e N=1\n"
    "1/2 1/2 0\n"
    "Wyckoff=a N=1\n"
    "0 0 0\n";

// The second site of d is written a whole translation away from the image of
// the first one; it must still count as the same site.
const std::string kP21c =
    "HermannMauguin=P121/c1 Lattice=Monoclinic SpacegroupNo=14 UniqueAxis=b\n"
    "Wyckoff=e N=4\n"
    "x y z\n"
    "-x y+1/2 -z+1/2\n"
    "-x -y -z\n"
    "x -y+1/2 z+1/2\n"
    "Wyckoff=d N=2\n"
    "1/2 0 1/2\n"
    "1/2 -1/2 0\n"
    "Wyckoff=a N=2\n"
    "0 0 0\n"
    "0 1/2 1/2\n";

// Site e is closed only through the C translation (1/2, 1/2, 0).
const std::string kC2m =
    "HermannMauguin=C12/m1 Lattice=Monoclinic SpacegroupNo=12 UniqueAxis=b\n"
    "Wyckoff=j N=8\n"
    "x y z\n"
    "-x y -z\n"
    "-x -y -z\n"
    "x -y z\n"
    "Wyckoff=e N=4\n"
    "1/4 1/4 0\n"
    "3/4 1/4 0\n"
    "Wyckoff=a N=2\n"
    "0 0 0\n";

// R-3 on hexagonal axes; LATTICE is replaced per case.
const std::string kR3barHex =
    "HermannMauguin=R-3 BASIS=R LATTICE SpacegroupNo=148\n"
    "Wyckoff=f N=18\n"
    "x y z\n"
    "-y x-y z\n"
    "-x+y -x z\n"
    "-x -y -z\n"
    "y -x+y -z\n"
    "x-y x -z\n"
    "Wyckoff=e N=9\n"
    "1/2 0 0\n"
    "0 1/2 0\n"
    "1/2 1/2 0\n"
    "Wyckoff=c N=6\n"
    "0 0 z\n"
    "0 0 -z\n"
    "Wyckoff=a N=3\n"
    "0 0 0\n";

// R-3 on rhombohedral axes.
const std::string kR3barRh =
    "HermannMauguin=R-3 LATTICE SpacegroupNo=148 Setting=rh\n"
    "Wyckoff=f N=6\n"
    "x y z\n"
    "z x y\n"
    "y z x\n"
    "-x -y -z\n"
    "-z -x -y\n"
    "-y -z -x\n"
    "Wyckoff=c N=2\n"
    "x x x\n"
    "-x -x -x\n"
    "Wyckoff=a N=1\n"
    "0 0 0\n";

// Site b is closed only through the second obverse translation
// (1/3, 2/3, 2/3): -(1/3, 1/6, 1/6) = (1/3, 1/6, 1/6) + (1/3, 2/3, 2/3) - 1.
const std::string kObverse =
    "HermannMauguin=R-1 LATTICE\n"
    "Wyckoff=c N=6\n"
    "x y z\n"
    "-x -y -z\n"
    "Wyckoff=b N=3\n"
    "1/3 1/6 1/6\n"
    "Wyckoff=a N=3\n"
    "0 0 0\n";

std::string with_lattice(std::string group, const std::string& lattice) {
  size_t at = group.find("LATTICE");
  group.replace(at, 7, lattice);
  return group;
}

TEST(Ordanix, ValidDatabaseEchoesEveryHeaderAndExitsZero) {
  std::string db = "% space groups\n% second comment line\n" + kP1bar + kP21c + kC2m;
  auto r = check(db.c_str());
  EXPECT_EQ(r.status, 0) << r.out;
  size_t p1 = r.out.find("HermannMauguin=P-1 Lattice=Triclinic SpacegroupNo=2\n");
  size_t p2 =
      r.out.find("HermannMauguin=P121/c1 Lattice=Monoclinic SpacegroupNo=14 UniqueAxis=b\n");
  size_t p3 = r.out.find("HermannMauguin=C12/m1 Lattice=Monoclinic SpacegroupNo=12 UniqueAxis=b\n");
  ASSERT_NE(p1, std::string::npos) << r.out;
  ASSERT_NE(p2, std::string::npos) << r.out;
  ASSERT_NE(p3, std::string::npos) << r.out;
  EXPECT_LT(p1, p2);
  EXPECT_LT(p2, p3);
  // Nothing follows the last header: no warnings, no comments echoed.
  EXPECT_EQ(r.out.substr(p3),
            "HermannMauguin=C12/m1 Lattice=Monoclinic SpacegroupNo=12 UniqueAxis=b\n");
  EXPECT_EQ(r.out.find("% space groups"), std::string::npos);
}

TEST(Ordanix, EmptyDatabaseExitsZeroAfterTheBanner) {
  for (const char* db : {"", "% only comments\n% here\n"}) {
    auto r = check(db);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Version 4.2.23\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("only comments"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("***"), std::string::npos) << r.out;
  }
}

TEST(Ordanix, LastLineWithoutLineFeedIsRead) {
  std::string db = kP1bar;
  db.pop_back();
  auto r = check(db.c_str());
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST(Ordanix, RhombohedralAndTrigonalCentring) {
  struct Case {
    std::string db;
    int status;
    std::string expect;  // text the output must hold
  } cases[] = {
      // Hexagonal axes: checked with the three obverse translations.
      {with_lattice(kR3barHex, "Lattice=Trigonal"), 0, ""},
      {with_lattice(kR3barHex, "Lattice=Hexagonal"), 0, ""},
      {with_lattice(kR3barHex, ""), 0, ""},
      {with_lattice(kObverse, "Lattice=Trigonal"), 0, ""},
      {with_lattice(kObverse, ""), 0, ""},
      // Rhombohedral axes: primitive; all six operators are listed.
      {with_lattice(kR3barRh, "Lattice=Rhombohedral"), 0, ""},
      // The same files read the other way round do not fit.
      {with_lattice(kR3barHex, "Lattice=Rhombohedral"), 160, message(-160, "f", 7)},
      {with_lattice(kR3barRh, "Lattice=Trigonal"), 158, message(-158)},
      {with_lattice(kR3barRh, ""), 158, message(-158)},
  };
  for (const auto& c : cases) {
    auto r = check(c.db.c_str());
    EXPECT_EQ(r.status, c.status) << c.db << r.out;
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.db << r.out;
  }
}

TEST(Ordanix, KeysOfOneGroupDoNotReachTheNext) {
  // BASIS=R and Lattice=Rhombohedral of the first group must not change the
  // centring of the second.
  for (const std::string& db :
       {with_lattice(kR3barHex, "Lattice=Trigonal") + kP1bar,
        with_lattice(kR3barRh, "Lattice=Rhombohedral") + with_lattice(kObverse, "")}) {
    auto r = check(db.c_str());
    EXPECT_EQ(r.status, 0) << db << r.out;
  }
}

TEST(Ordanix, FaultsEndWithTheirMessageAndStatus) {
  const std::string good = kP1bar;
  struct Case {
    const char* what;
    std::string group;  // appended after a good group
    int status;
    std::string expect;
  } cases[] = {
      {"unknown centring letter", "HermannMauguin=Q1\nWyckoff=a N=1\nx y z\n", 164, message(-164)},
      {"BASIS before HermannMauguin", "HermannMauguin=P1 BASIS=X\nWyckoff=a N=1\nx y z\n", 164,
       message(-164)},
      {"general block without N", "HermannMauguin=P1\nWyckoff=a\nx y z\n", 163, message(-163)},
      {"general block without Wyckoff", "HermannMauguin=P1\nN=1\nx y z\n", 162, message(-162)},
      {"N not a multiple of the centring",
       "HermannMauguin=C2 BASIS=C\nWyckoff=c N=3\nx y z\n-x y -z\n", 161, message(-161, "c")},
      {"N of zero", "HermannMauguin=P1\nWyckoff=g N=0\nx y z\n", 161, message(-161, "g")},
      {"negative N", "HermannMauguin=P1\nWyckoff=g N=-2\nx y z\n", 161, message(-161, "g")},
      {"general line too short",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y\nWyckoff=a N=1\n0 0 0\n", 160,
       message(-160, "i", 2)},
      {"general line too long",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z w\nWyckoff=a N=1\n0 0 0\n", 159,
       message(-159, "i", 2)},
      {"general position not starting with x y z",
       "HermannMauguin=P-1\nWyckoff=i N=2\n-x -y -z\nx y z\nWyckoff=a N=1\n0 0 0\n", 212,
       message(-212)},
      {"special block without N",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=a\n0 0 0\n", 158,
       message(-158)},
      {"special block without Wyckoff",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nN=1\n0 0 0\n", 157, message(-157)},
      {"special N not dividing N",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=a N=3\n0 0 0\n0 0 0\n0 0 0\n",
       156, message(-156, "a")},
      {"special N not a multiple of the centring",
       "HermannMauguin=C2/m\nWyckoff=j N=8\nx y z\n-x y -z\n-x -y -z\nx -y z\nWyckoff=a N=1\n0 0 "
       "0\n",
       156, message(-156, "a")},
      {"special N of zero", "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=a N=0\n",
       156, message(-156, "a")},
      {"special line too short",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=a N=1\n0 0\n", 155,
       message(-155, "a", 1)},
      {"special line too long",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=b N=2\n0 0 0\n1/2 0 0 0\n", 154,
       message(-154, "b", 2)},
      {"general operator missing the special site",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=b N=1\n1/4 0 0\nWyckoff=a "
       "N=1\n0 0 0\n",
       151, message(-151, "i", 2, "b")},
      {"special site reached too often",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=b N=2\n0 0 0\n1/2 0 0\n", 152,
       message(-152, "b", 1, 2, "i", 1)},
      {"C site checked without its centring",
       "HermannMauguin=P12/m1\nWyckoff=j N=4\nx y z\n-x y -z\n-x -y -z\nx -y z\n"
       "Wyckoff=e N=2\n1/4 1/4 0\n3/4 1/4 0\n",
       151, message(-151, "j", 3, "e")},
      {"end of file inside the general block", "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n", 160,
       message(-160, "i", 2)},
      {"end of file before the block a", "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\n",
       158, message(-158)},
      // A multiplicity far beyond the lines of the file ends at the first
      // missing line instead of reserving room for all of them.
      {"multiplicity beyond the end of the file",
       "HermannMauguin=P1\nWyckoff=g N=2000000000\nx y z\n", 160, message(-160, "g", 2)},
      // A coordinate that is not a finite number coincides with nothing.
      {"infinite special coordinate",
       "HermannMauguin=P1\nWyckoff=b N=1\nx y z\nWyckoff=a N=1\n0 0 1e999\n", 151,
       message(-151, "b", 1, "a")},
      {"special coordinate not a number",
       "HermannMauguin=P1\nWyckoff=b N=1\nx y z\nWyckoff=a N=1\n0 0*1e999 0\n", 151,
       message(-151, "b", 1, "a")},
  };
  for (const auto& c : cases) {
    std::string db = good + c.group;
    auto r = check(db.c_str());
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
    // The message ends the output, after the echo of the faulty group's header.
    std::string header = c.group.substr(0, c.group.find('\n') + 1);
    size_t h = r.out.find(header);
    EXPECT_NE(h, std::string::npos) << c.what << "\n" << r.out;
    ASSERT_GE(r.out.size(), c.expect.size()) << c.what;
    EXPECT_EQ(r.out.substr(r.out.size() - c.expect.size()), c.expect) << c.what << "\n" << r.out;
  }
}

TEST(Ordanix, MissingDatabase) {
  auto r = check(nullptr);
  EXPECT_EQ(r.status, 165) << r.out;
  EXPECT_NE(r.out.find(message(-165)), std::string::npos) << r.out;

  // A directory in place of the database opens but cannot be read: it has
  // not been checked and must not pass.
  ktest::TempInstall inst({"err.msg"});
  ASSERT_EQ(mkdir(inst.file("ordanix.dat").c_str(), 0755), 0);
  auto d =
      ktest::run_program(ktest::program_path("ordanix"), {}, inst.path(), {{"KALVO", inst.path()}});
  EXPECT_EQ(d.status, 165) << d.out;
  EXPECT_NE(d.out.find(message(-165)), std::string::npos) << d.out;
}

TEST(Ordanix, WarningsDoNotStopTheCheck) {
  std::string misspelt = kP1bar;
  misspelt.replace(misspelt.find("Triclinic"), 9, "Triklinik");
  std::string db = kP1 + misspelt + kC2m;
  auto r = check(db.c_str());
  EXPECT_EQ(r.status, 0) << r.out;
  std::string w249 = message(249), w248 = message(248);
  size_t a = r.out.find("SpacegroupNo=1\n" + w249);
  size_t b = r.out.find("Triklinik SpacegroupNo=2\n" + w248);
  EXPECT_NE(a, std::string::npos) << r.out;
  EXPECT_NE(b, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("C12/m1"), std::string::npos) << r.out;
}

TEST(Ordanix, StoreErrorsPrintTheirRecordsAndExitOne) {
  struct Case {
    const char* what;
    std::string group;
    std::string expect;
  } cases[] = {
      {"undefined name in a special formula",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=a N=1\n0 0 w\n", "(E) "},
      {"undefined name in a general formula",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -zz\nWyckoff=a N=1\n0 0 0\n", "(E) "},
      {"unbalanced formula",
       "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\nWyckoff=a N=1\n0 0 (1/2\n", "(E) "},
      {"no HermannMauguin and no BASIS", "Lattice=Cubic\nWyckoff=a N=1\nx y z\n", "(E) "},
      {"Wyckoff name too long", "HermannMauguin=P1\nWyckoff=abcdefghijklmnopqrstu N=1\nx y z\n",
       "(E) "},
  };
  for (const auto& c : cases) {
    std::string db = kP1bar + c.group;
    auto r = check(db.c_str());
    EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out;
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.what << "\n" << r.out;
  }
}

TEST(Ordanix, InstallationDirectoryFromTheCommandLine) {
  ktest::TempInstall inst({"err.msg"});
  ktest::write_file(inst.file("ordanix.dat"), kP1bar);
  ktest::TempDir elsewhere;
  auto r = ktest::run_program(ktest::program_path("ordanix"), {"ignored", "KALVO=" + inst.path()},
                              elsewhere.path(), {{"KALVO", elsewhere.path()}});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("HermannMauguin=P-1"), std::string::npos) << r.out;

  auto none = ktest::run_program(ktest::program_path("ordanix"), {}, elsewhere.path(),
                                 {{"KALVO", "\x01unset"}});
  EXPECT_EQ(none.status, 200) << none.out;
  EXPECT_NE(none.out.find("*** undefined environment KALVO\n"), std::string::npos) << none.out;
}

TEST(Ordanix, ShippedDatabasePasses) {
  std::string shipped = std::string(KALVO_SOURCE_DATA) + "/ordanix.dat";
  ASSERT_TRUE(ktest::file_exists(shipped)) << "data/ordanix.dat is missing";
  ktest::TempInstall inst({"err.msg", "ordanix.dat"});
  auto r = ktest::run_program(ktest::program_path("ordanix"), {}, inst.path(),
                              {{"KALVO", inst.path()}}, 600);
  EXPECT_EQ(r.status, 0) << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);
  EXPECT_EQ(r.out.find("***"), std::string::npos);
}

}  // namespace

}  // namespace ordanix

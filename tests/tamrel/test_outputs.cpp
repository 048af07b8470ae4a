// Output files of a refinement that cannot be written: each is skipped with
// its warning, the list goes to standard output instead, and the rest of the
// run (the other files, the written-back control file) is the same as with
// every file written; the run ends with status 93. The head of the list file with tube
// tails measured and modelled.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <string>
#include <vector>

#include "tamrelrun.hpp"

namespace {

using ktest::message;
using trun::inorder;

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(TamrelOutputs, FilesInAFolderThatDoesNotExistAreSkippedWithTheirWarnings) {
  trun::Workplace wp;
  const std::vector<std::string> control = {
      "LINTOR=inst",      "LAMBDA=CU",        "VAL[1]=si.xy",       "STRUC[1]=si",
      "DIAGRAMM=d",       "LIST=none/l",      "OUTPUT=none/p",      "FCFOUT[1]=none/f",
      "RESOUT[1]=none/r", "PDBOUT[1]=none/c", "STRUCOUT[1]=none/s", "SimpleSTRUCOUT[1]=none/t"};
  ktest::RunResult r = wp.run(control);
  EXPECT_EQ(r.status, 93) << r.out;
  // In the order the outputs are written: the list (then on standard output),
  // the instruction file, the refined and simplified structure files, the
  // structure factors, the coordinates and the peak parameters; at the end
  // the count of the outputs not written and the first one's message.
  EXPECT_TRUE(inorder(
      r.out, {message(226), "Rwp=", "Atoms of phase", message(259, "none/r.res"), message(232),
              message(235), message(266, "none/f.fcf"), message(263, "none/c.pdb"),
              message(262, "none/p.par"), message(-93, 7, 226)}));
  EXPECT_FALSE(exists(wp.file("none")));
  // The diagram is written and the control file is written back as after any
  // run, keys of the unwritten files included.
  EXPECT_TRUE(exists(wp.file("d.dia")));
  EXPECT_EQ(trun::savedkeys(wp.read("run.sav"))["OUTPUT"], "none/p");
}

// The displacement written into the instruction and coordinate files is the
// one the structure factors take, however the structure file gives it: a
// number, a parameter of the structure file, a formula of one, a parameter
// of the control file, or the phase's TDS for an atom without one. 0.5
// square angstrom is U = 0.5 / (8 pi^2) = 0.00633 and B = 0.50.
TEST(TamrelOutputs, ExportedDisplacementOfEveryKindOfTds) {
  struct Case {
    const char* what;
    const char* header;  // items of the phase's header
    const char* atom;    // displacement items of the atom
  };
  const Case cases[] = {
      {"a number", "", "TDS=0.5"},
      {"a parameter", "PARAM=Biso=0.5", "TDS=Biso"},
      {"a formula of a parameter", "PARAM=Bh=0.25", "TDS=Bh*2"},
      {"a parameter of the control file", "", "TDS=Bg"},
      {"the phase's TDS", "TDS=0.5", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    trun::Workplace wp;
    wp.write("tds.str", std::string("PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 "
                                    "A=5.431 ") +
                            c.header + "\nE=Si Wyckoff=a " + c.atom + "\n");
    ktest::RunResult r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=si.xy", "STRUC[1]=tds",
                                 "PARAM[1]=Bg=0.5", "ITMAX=0", "RESOUT[1]=x", "PDBOUT[1]=x"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string res = wp.read("x.res");
    EXPECT_NE(res.find("\nSi1     1   0.12500   0.12500   0.12500  10.04167   0.00633\n"),
              std::string::npos)
        << res;
    const std::string pdb = wp.read("x.pdb");
    const size_t atom = pdb.find("\nATOM ");
    ASSERT_NE(atom, std::string::npos) << pdb;
    // "%6.2f%6.2f": occupancy, then B in columns 61 to 66.
    EXPECT_EQ(pdb.substr(atom + 1 + 54, 12), "  1.00  0.50") << pdb;
  }
}

// The tube tails in the head of the list file: their share of the intensity,
// measured from the scan named by TubeTails, and whether the instrument
// profile models them.
TEST(TamrelOutputs, ListFileHeadNamesTheTubeTails) {
  trun::Workplace wp;
  // One strong line on a flat background, 2theta 30 .. 30.12 degrees.
  std::string tails;
  const int counts[] = {2, 2, 2, 2, 12, 52, 102, 52, 12, 2, 2, 2, 2};
  for (int i = 0; i < 13; ++i)
    tails += std::to_string(30 + 0.01 * i) + " " + std::to_string(counts[i]) + "\n";
  wp.write("tails.xy", tails);
  wp.write("tailed.ger", trun::replaced(trun::kInstrument, "TITEL=test", "TITEL=test TubeTails=1"));
  // The message's text up to its value.
  std::string share = message(20, '%', 0.0);
  share = share.substr(0, share.find(": ") + 2);
  ASSERT_NE(share.find('%'), std::string::npos) << share;
  struct Case {
    const char* what;
    std::vector<std::string> keys;
    bool measured, modelled;
  };
  const Case cases[] = {
      {"no tube tails", {"LINTOR=inst"}, false, false},
      {"measured only", {"LINTOR=inst", "TubeTails=tails.xy"}, true, false},
      {"measured and modelled", {"LINTOR=tailed", "TubeTails=tails.xy"}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> control = {"LAMBDA=CU", "VAL[1]=si.xy", "STRUC[1]=si", "LIST=l"};
    control.insert(control.end(), c.keys.begin(), c.keys.end());
    ktest::RunResult r = wp.run(control);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string list = wp.read("l.lst");
    const size_t head = list.find("Rwp=");
    ASSERT_NE(head, std::string::npos) << list;
    const size_t measured = list.find(share), modelled = list.find(message(30));
    EXPECT_EQ(measured != std::string::npos, c.measured) << list;
    EXPECT_EQ(modelled != std::string::npos, c.modelled) << list;
    if (c.measured) {
      EXPECT_LT(measured, head);
    }
    if (c.modelled) {
      EXPECT_LT(modelled, head);
    }
  }
}

}  // namespace

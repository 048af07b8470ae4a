// The texture file in the test process: which phases get one (a texture of
// order 2 or more and a name under their own key of the data set), the
// exact layout of order 2 and the widths of order 10, and a file that
// cannot be written. The file of a refined texture is checked end to end
// with the refinements.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "crystal_harness.hpp"
#include "structure_files.hpp"
#include "tamrel.hpp"
#include "tamrel_texturefile.hpp"
#include "tamrelrun.hpp"

namespace {

using namespace core;
using namespace crystal;
using ktest::message;
using model::nphasen;
using trun::lines;

class TextureFile : public trun::StructureFiles {
 protected:
  // Reads the structure texts as STRUC[1], STRUC[2], ...
  void read(const std::vector<std::string>& texts) {
    for (size_t i = 0; i < texts.size(); ++i)
      file(static_cast<int>(i) + 1, "phase" + std::to_string(i + 1) + ".str", texts[i]);
    tamrel::readphases();
  }
  // The writer runs under the run's outermost handler alone, as in the run.
  std::string write(int dataset) {
    testing::internal::CaptureStdout();
    tamrel::writetexturefiles(dataset);
    return testing::internal::GetCapturedStdout();
  }
  void name(int dataset, int phase, const std::string& file) {
    if (dataset == 0) {
      SetIndexStrVar("PO", 1, &phase, dir.file(file).c_str());
    } else {
      const int idx[2] = {dataset, phase};
      SetIndexStrVar("PO", 2, idx, dir.file(file).c_str());
    }
  }
};

TEST_F(TextureFile, OnePerTexturedPhaseUnderItsOwnKey) {
  read({"SpacegroupNo=221 A=0.4 GEWICHT=SPHAR2\nE=Cu Wyckoff=a\n",
        "SpacegroupNo=1 A=0.5 B=0.6 C=0.7 GEWICHT=SPHAR10\nE=Cu Wyckoff=a\n",
        "SpacegroupNo=221 A=0.4 GEWICHT=SPHAR0\nE=Cu Wyckoff=a\n"});
  ASSERT_EQ(nphasen, 3);
  PhaseRecord* p1 = phase1;
  PhaseRecord* p2 = p1->next;
  ASSERT_EQ(p1->texture, TEXTURE_SPHAR2);
  ASSERT_EQ(p2->texture, TEXTURE_SPHAR10);
  // The cell as the refinement leaves it.
  p1->a = p1->b = p1->c = 0.41569123;
  p1->alpha = p1->beta = p1->gamma = 90;
  p2->a = 0.5, p2->b = 0.6, p2->c = 0.7;
  p2->alpha = 80, p2->beta = 95, p2->gamma = 100;
  p1->GEWICHT = 0.0123456;
  p1->gewichtmax = 0.0456789;
  const double c2[6] = {0.5, -0.25, 0.125, 1.5, 0.0, -12.345678901};
  for (int k = 0; k < 6; ++k) p1->sphar2.c[k] = c2[k];
  for (int k = 0; k < 66; ++k) p2->sphar10.c[k] = k == 65 ? -123.456 : 0.001 * k;
  p2->GEWICHT = 1;
  p2->gewichtmax = 2;

  // Only the phases named for the data set; the weight-only phase never,
  // whatever its key says.
  name(0, 1, "first");
  name(0, 3, "weight");
  name(1, 2, "extra.txt");
  EXPECT_EQ(write(0), "");
  EXPECT_FALSE(ktest::file_exists(dir.file("weight.po")));
  EXPECT_FALSE(ktest::file_exists(dir.file("extra.txt")));
  EXPECT_EQ(ktest::read_file(dir.file("first.po")),
            "A=0.41569123 B=0.41569123 C=0.41569123 ALPHA=90.00000 BETA=90.00000 GAMMA=90.00000 "
            "GEWICHT=1.2346E-02 MAXGEWICHT=4.5679E-02 SPHAR=2\n"
            "2 0 0 1    0.50000000\n"
            "1 1 0 2   -0.25000000\n"
            "1 0 1 2    0.12500000\n"
            "0 2 0 1    1.50000000\n"
            "0 1 1 2    0.00000000\n"
            "0 0 2 1  -12.34567890\n");

  // Data set 1 has its own key family; its name keeps its extension.
  EXPECT_EQ(write(1), "");
  std::vector<std::string> ten = lines(ktest::read_file(dir.file("extra.txt")));
  ASSERT_EQ(ten.size(), 67u);
  EXPECT_EQ(ten[0],
            "A=0.50000000 B=0.60000000 C=0.70000000 ALPHA=80.00000 BETA=95.00000 GAMMA=100.00000 "
            "GEWICHT=1.0000E+00 MAXGEWICHT=2.0000E+00 SPHAR=10");
  EXPECT_EQ(ten[1], "10 0 0    1        0.00000000");
  // (6, 2, 2), coefficient 12 after 1 + 2 + 3 + 4 monomials of higher
  // powers of h and (6, 4, 0), (6, 3, 1): 10! / (6! 2! 2!) = 1260 tuples.
  EXPECT_EQ(ten[1 + 12], "6 2 2 1260        0.01200000");
  EXPECT_EQ(ten[66], "0 0 10    1     -123.45600000");
}

TEST_F(TextureFile, FileThatCannotBeWrittenIsSkipped) {
  read({"SpacegroupNo=221 A=0.4 GEWICHT=SPHAR2\nE=Cu Wyckoff=a\n",
        "SpacegroupNo=221 A=0.4 GEWICHT=SPHAR4\nE=Cu Wyckoff=a\n"});
  name(0, 1, "missing/first");
  name(0, 2, "second");
  EXPECT_EQ(write(0), message(267, dir.file("missing/first.po").c_str()));
  EXPECT_EQ(lines(ktest::read_file(dir.file("second.po"))).size(), 16u);
}

}  // namespace

// probast: writes the instrument function at one diffraction angle for a
// person to look at. It loads the instrument profile LINTOR (GEQ table and/or
// instrument-profile file), evaluates it at the angle zweiTheta (2theta in
// degrees) and writes "probast.out" in the installation directory: two text
// columns, the deviation from the line position in degrees of 2theta (sign
// reversed, as on the diffractometer's scale) and the profile per degree of
// 2theta, which integrates to the total weight of the components. With
// Extension beginning with Y or J every component follows alone, each block
// introduced by an empty line.
//
// The plotted range holds each component out to where its squared
// Lorentzian has fallen to a small fraction of the strongest; it is walked in
// 10000 equal steps.
//
// The output goes through the common writer: a temporary file replaces
// probast.out only when it is complete, so two runs at once leave the whole
// output of one of them, and a failed write leaves the old file.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"

namespace probast {
using namespace core;
using namespace model;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr float kFltMax = 3.4028235e38f;
constexpr int kSteps = 10000;
constexpr const char* kOutput = "probast.out";

std::string outputpath() { return std::string(kalvo) + "/" + kOutput; }

[[noreturn]] void cannotwrite() { fatal<-84>(outputpath()); }

}  // namespace

int run(int argc, char** argv) {
  prolog(argc, argv, "probast.cfg");

  // A missing LINTOR or zweiTheta reaches the outermost handler (status 1).
  static char lintor[7997];
  GetStrVar("LINTOR", 7996, lintor);
  ger1(lintor);
  // The angle: a diffraction angle strictly between 0 and 180 degrees.
  double angle = 0;
  if (!optnumber("zweiTheta", &angle)) angle = GetVar("zweiTheta");
  if (!(angle > 0 && angle < 180)) fatal<-101>("zweiTheta", angle, 0.0, 180.0);
  auto twotheta = static_cast<float>(angle);
  ger(std::sin(twotheta * kPi / 360));

  // The components, copied before anything else may call ger.
  int count = n;
  std::vector<float> cg(g, g + count), ce(e, e + count), cw(q, q + count);

  static char extension[8001];
  bool each = dataerr_try([] { GetStrVar("Extension", 8000, extension); }) && extension[0] != 0 &&
              std::strchr("YyJj", extension[0]) != nullptr;

  // The plot file may not be a file the run read.
  runoutput("plot file", outputpath());
  OutFile out;
  if (!out.open(outputpath())) cannotwrite();
  FILE* f = out.file();

  // Range: component k reaches out to c_k widths, with c_k^3 its share of
  // 100 n, so that a strong component is followed further into its tails.
  float sum = 0;
  for (int k = 0; k < count; ++k) sum += cg[k];
  float lo = kFltMax, hi = -kFltMax;
  for (int k = 0; k < count; ++k) {
    float r = 100.0f * static_cast<float>(count) * cg[k] / sum;
    float c = r != 0 ? std::exp(std::log(r) / 3) : 0.0f;
    lo = std::fmin(lo, ce[k] - c * cw[k]);
    hi = std::fmax(hi, ce[k] + c * cw[k]);
  }
  float step = (hi - lo) * 0.0001f;

  // Abscissae lo + k step: a fixed count, so that a range narrower than the
  // resolution of single precision still ends.
  if (count > 0) {
    for (int k = 0; k < kSteps; ++k) {
      double x = lo + static_cast<double>(k) * step;
      if (!(x < hi)) break;
      float y = 0;
      for (int i = 0; i < count; ++i) {
        float d = static_cast<float>(ce[i] - x);
        float den = d * d + cw[i] * cw[i];
        y += cg[i] * 0.63661975f * cw[i] * cw[i] * cw[i] / (den * den);
      }
      std::fprintf(f, "%13.6E %13.6E\n", -x * 360 / kPi, y * kPi / 360);
    }
  }
  if (each) {
    for (int i = 0; i < count; ++i) {
      std::fputc('\n', f);
      double w = cw[i];
      for (int k = 0; k < kSteps; ++k) {
        double x = lo + static_cast<double>(k) * step;
        if (!(x < hi)) break;
        double d = ce[i] - x;
        double den = d * d + w * w;
        double y = cg[i] * 0.6366197723675814 * w * w * w / (den * den) * kPi / 360;
        std::fprintf(f, "%13.6E %13.6E\n", -x * 360 / kPi, y);
      }
    }
  }
  if (!out.commit()) cannotwrite();

  ger2();
  epilog();
}

}  // namespace probast

int main(int argc, char** argv) { return probast::run(argc, argv); }

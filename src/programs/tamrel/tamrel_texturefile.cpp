// The texture file of each phase with a spherical-harmonics texture.
#include "tamrel_texturefile.hpp"

#include <string>

#include "core/data.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "crystal/texturetab.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"
#include "tamrel_strucout.hpp"

namespace tamrel {

using namespace core;
using namespace crystal;

namespace {

// Widths of the tuple count and of the coefficient by order 2, 4, ..., 10:
// the largest count of each order fits its width.
constexpr int kCountWidth[5] = {1, 2, 2, 3, 4};
constexpr int kCoefficientWidth[5] = {13, 14, 15, 16, 17};

}  // namespace

void texturefilecontent(FILE* f, PhaseRecord* phase) {
  const int order = 2 * (phase->texture - TEXTURE_SPHAR0);
  std::fprintf(f,
               "A=%.8f B=%.8f C=%.8f ALPHA=%.5f BETA=%.5f GAMMA=%.5f GEWICHT=%.4E "
               "MAXGEWICHT=%.4E SPHAR=%d\n",
               phase->a, phase->b, phase->c, phase->alpha, phase->beta, phase->gamma,
               phase->GEWICHT, phase->gewichtmax, order);
  zaehlbau();
  const MonomialTables t = monomialtables(order);
  const SpharView v = spharview(phase, order);
  const int w = order / 2 - 1;
  // The tables hold the monomials in the file's order: the exponent of h
  // falling, within it the exponent of l rising.
  for (int k = 0; k < t.count; ++k)
    std::fprintf(f, "%1d %1d %1d %*.0f %*.8f\n", t.ex[k][0], t.ex[k][1], t.ex[k][2], kCountWidth[w],
                 t.zaehl[k], kCoefficientWidth[w], v.c[k]);
}

void writetexturefiles(int dataset) {
  for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
    if (phase->texture < TEXTURE_SPHAR2) continue;
    phasei = phase;
    const bool done = dataerr_try([&] {
      std::string name;
      if (!outputname("PO", dataset, phase->number, name)) return;
      name = withextension(name.c_str(), "po");
      if (!ownoutput(name)) return;
      if (!writefile(name.c_str(), [&](FILE* f) {
            texturefilecontent(f, phase);
            return true;
          })) {
        message<267>(name.c_str());
        outputfailed(267);
        std::fflush(stdout);
      }
    });
    if (!done) {
      message<260>(phase->number);
      namephasefile(phase->number);
      passon();
    }
  }
  checklevel("ondataLevel", __LINE__);
}

}  // namespace tamrel

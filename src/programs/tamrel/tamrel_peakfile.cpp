// The peak-parameter file of a data set.
#include "tamrel_peakfile.hpp"

#include <cmath>
#include <cstring>

#include "core/data.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/parfile.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"
#include "tamrel_final.hpp"

namespace tamrel {

using namespace core;
using namespace scan;
using namespace model;
using namespace crystal;

namespace {

constexpr double kPi = 3.141592653589793;

double twotheta(double s) { return std::asin(s) * 360.0 / kPi; }

// A refined correction of the instrument function: the global parameter of
// that name, else the value the key had at the start of the run.
double correction(const char* name, double start) {
  int index = 0;
  return ifparamglobal(name, &index) ? paramglobal[index].value : start;
}

void header(FILE* f, int peaks) {
  const RunState& rs = runstate;
  std::fprintf(f, "PEAKZAHL=%d TITEL=%s ", peaks, unwhite(titel));
  const char* radiation = ifneutrons() ? "NEUTRONS" : ifsynchrotron() ? "SYNCHROTRON" : "LAMBDA";
  std::fprintf(f, "%s=%s ", radiation, unwhite(rs.radiation.c_str()));
  if (ifpol()) std::fprintf(f, "POL=%.5f ", static_cast<double>(pol));
  if (!rs.unt.empty()) std::fprintf(f, "UNT=%s ", unwhite(rs.unt.c_str()));
  if (!rs.untc.empty()) std::fprintf(f, "UNTC=%s ", unwhite(rs.untc.c_str()));
  const int points = ddmrange != nullptr ? m / 2 + 4 : m;
  const double lo = points > 0 ? sinx[0] : sinxmin;
  const double hi = points > 0 ? sinx[points - 1] : sinxmax;
  std::fprintf(f, "LINTOR=%s WMIN=%-.3f WMAX=%-.3f Q=%.2f", unwhite(rs.lintor.c_str()),
               twotheta(lo), twotheta(hi), finalmodel.S);
  std::fprintf(f, " EPS1=%.6f", correction("EPS1", eps10));
  std::fprintf(f, " EPS2=%.6f", correction("EPS2", eps20));
  std::fprintf(f, " EPS3=%.6f", correction("EPS3", eps30));
  std::fprintf(f, " EPS4=%.6f", correction("EPS4", eps40));
  int k = 1;
  for (const CutInterval* c = cut; c != nullptr; c = c->next, ++k)
    std::fprintf(f, " CUT[%d]=%.3f:%.3f", k, twotheta(c->lower), twotheta(c->upper));
  static char text[kTextLen + 1];
  if (dataerr_try([] { GetStrVar("TubeTails", kTextLen, text); }))
    std::fprintf(f, " TubeTails=%s", unwhite(text));
  std::fputc('\n', f);
}

// A breadth parameter: max(0, 4 - floor(log10 x)) decimals; "0" when not
// above 0.
void breadth(FILE* f, double x) {
  if (!(x > 0.0)) {
    std::fputs(" 0", f);
    return;
  }
  int d = 4 - static_cast<int>(std::floor(std::log10(x)));
  if (d < 0) d = 0;
  std::fprintf(f, " %.*f", d, x);
}

// The divisor of the texture items of a phase: its mean texture weight, or
// the mean value of its anisotropy object GEWICHT; 0 for none.
double texturedivisor(const PhaseRecord* ph) {
  if (ph->texture >= TEXTURE_SPHAR2) return ph->GEWICHT;
  const AnisotropyRecord* found = nullptr;
  for (const AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next)
    if (o->name != nullptr && std::strcmp(o->name, "GEWICHT") == 0) found = o;
  return found != nullptr && found->kind != ANISO_CONSTANT ? found->mean : 0.0;
}

void frecord(FILE* f, const PhaseRecord* ph, const ReflectionRecord* r, const FRecord* fr,
             bool inverse, double divisor) {
  if (ph->lebail == nullptr || ph->lebail[r->iref] == 0) std::fprintf(f, " F=%.3f", fr->F);
  std::fprintf(f, " H=%d", fr->nequiv);
  if (divisor != 0.0) std::fprintf(f, " TEXTUR=%.4f", fr->gewicht / divisor);
  const int32_t* hkl = r->fr1->hkl[0];
  const int s = inverse ? -1 : 1;
  std::fprintf(f, " %d %d %d", s * hkl[0], s * hkl[1], s * hkl[2]);
}

void peakrecord(FILE* f, const PhaseRecord* ph, const ReflectionRecord* r, double divisor) {
  std::fprintf(f, "%d %14.6E %10.7f", ph->RP, r->intensity, r->skshift);
  if (ph->RP > 2) breadth(f, r->B1);
  if (ph->RP > 3) breadth(f, r->B2);
  double gsum = 0.0;
  if (parfile_gsum(r->position, &gsum)) std::fprintf(f, " GSUM=%.5f", gsum);
  std::fprintf(f, " PHASE=%s", unwhite(ph->name != nullptr ? ph->name : ""));
  if (r->fr1 != nullptr) {
    frecord(f, ph, r, r->fr1, false, divisor);
    if (r->fr2 != nullptr) frecord(f, ph, r, r->fr2, true, divisor);
  }
  std::fputc('\n', f);
}

}  // namespace

void peakfilecontent(FILE* f) {
  int peaks = 0;
  for (const PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
    for (int i = 0; i < ph->nrefl; ++i)
      if (ph->refl[i]->used) ++peaks;
  header(f, peaks);
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    if (!dataerr_try([&] {
          const double divisor = texturedivisor(ph);
          for (int i = 0; i < ph->nrefl; ++i)
            if (ph->refl[i]->used) peakrecord(f, ph, ph->refl[i], divisor);
        })) {
      message<260>(ph->number);
      namephasefile(ph->number);
      passon();
    }
  }
  const int ru = param != nullptr ? param->ru : 0;
  std::fprintf(f, "%d", ru);
  for (int i = 0; i < ru; ++i) std::fprintf(f, " %.3f", tu[i]);
}

void writepeakfile(int dataset) {
  static char name[kNameLen + 1];
  const bool named = dataerr_try([&] {
    if (dataset == 0)
      GetStrVar("OUTPUT", kNameLen, name);
    else
      GetIndexStrVar("OUTPUT", 1, &dataset, kNameLen, name);
  });
  if (named) {
    makeextension(name, "par", 0);
  } else {
    // Without OUTPUT[i] each data set has a default name of its own.
    static char savefile[kNameLen + 1];
    savefile[0] = 0;
    dataerr_try([] { GetStrVar("SAVEFILE", kNameLen, savefile); });
    std::snprintf(name, sizeof name, "%s", defaultpeakfile(savefile, dataset).c_str());
  }
  if (!ownoutput(name)) {
    checklevel("ondataLevel", __LINE__);
    return;
  }
  if (!writefile(name, [](FILE* f) {
        peakfilecontent(f);
        return true;
      })) {
    message<262>(name);
    outputfailed(262);
    std::fflush(stdout);
  }
  checklevel("ondataLevel", __LINE__);
}

}  // namespace tamrel

#include "raytrace.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/velmora.hpp"

namespace zelmar {

using namespace core;

namespace {
constexpr double kPi = 3.141592653589793;
}

AngleGeometry geometry(const BeamPath& b, const AngleSetup& a) {
  AngleGeometry g;
  const bool trans = b.arrangement == TRANSMISSION;
  const double t = trans ? kPi / 2 - a.theta : a.theta;
  const double a1 = t + a.domega, a2 = t - a.domega;
  g.c1 = std::cos(a1);
  g.s1 = std::sin(a1);
  g.c2 = std::cos(a2);
  g.s2 = std::sin(a2);
  if (trans) {
    g.c2 = -g.c2;
    g.s2 = -g.s2;
  }
  g.sinT = std::sin(t);
  g.cosT = std::cos(t);
  g.h0 = -b.eps2 * b.R;
  g.sigma = trans ? 1 : -1;
  return g;
}

int32_t Histogram::add(int64_t k) {
  if (kmax < kmin) {
    kmin = kmax = k;
    count.assign(1, 0);
  } else if (k < kmin || k > kmax) {
    const int64_t lo = std::min(kmin, k), hi = std::max(kmax, k);
    std::vector<int32_t> grown(static_cast<size_t>(hi - lo + 1), 0);
    std::copy(count.begin(), count.end(), grown.begin() + (kmin - lo));
    count.swap(grown);
    kmin = lo;
    kmax = hi;
  }
  return ++count[static_cast<size_t>(k - kmin)];
}

void trace(const BeamPath& b, const AngleSetup& a, const TailTable& t, float epsg, double twotheta,
           RunState& run, Trace& out) {
  out = Trace{};
  out.traced = 1;
  const AngleGeometry ag = geometry(b, a);
  const float e2 = epsg * epsg;
  const double full = 2.0 / static_cast<double>(e2);
  for (;;) {
    double tr = 0;
    if (traceray(b, a, ag, t, run.gen, &tr, &out.overshoot)) {
      // Bins far beyond any physical deviation come only from a degenerate
      // path; they would not fit an index.
      const double v = (tr - a.theta) / a.deps + 0.5;
      if (std::fabs(v) < 1e9) {
        const auto k = static_cast<int64_t>(std::floor(v));
        if (out.hist.kmax >= out.hist.kmin &&
            std::max(out.hist.kmax, k) - std::min(out.hist.kmin, k) >= kMostBins)
          fatal<-122>(twotheta, kMostBins, a.deps * 360 / kPi);
        if (run.gen.z == run.saved) internal_error("period", "zelmar", __LINE__);
        if (out.accepted == 2 * run.mark) {
          run.saved = run.gen.z;
          run.mark = out.accepted;
        }
        ++out.accepted;
        if (static_cast<double>(out.hist.add(k)) > full) return;
      }
    }
    ++out.traced;
    if (out.accepted == 0 && out.traced > 100) {
      fatal<-19>(twotheta);
    }
  }
}

void rawdump(const char* path, const Histogram& h, double deps) {
  // A histogram file that cannot be written is skipped; the run goes on
  // but ends with a non-zero status.
  const bool written = writefile(path, [&](FILE* f) {
    for (int64_t k = h.kmax; k >= h.kmin; --k) {
      // + 0.0 writes the central bin without a minus sign.
      const double dev = -360.0 * static_cast<double>(k) * deps / kPi + 0.0;
      if (std::fprintf(f, "%.6f %d\n", dev, h.at(k)) < 0) return false;
    }
    return true;
  });
  // Written again at each halving of the bin width: reported once.
  static std::string failed;
  if (!written && failed != path) {
    failed = path;
    message<301>(path);
    std::fflush(stdout);
    outputfailed(301);
  }
}

void fitdata(const Trace& tr, double deps, float kern, FitData& out) {
  out = FitData{};
  const Histogram& h = tr.hist;
  const auto k0 = static_cast<int64_t>(
      std::floor(1.1 * static_cast<double>(h.kmin) - 0.1 * static_cast<double>(h.kmax)));
  const auto k1 = static_cast<int64_t>(
      std::ceil(1.1 * static_cast<double>(h.kmax) - 0.1 * static_cast<double>(h.kmin)));
  const double scale = kPi / (static_cast<double>(tr.accepted) * deps);
  for (int64_t k = k0; k <= k1;) {
    const auto x = static_cast<float>(deps * static_cast<double>(k));
    const auto w =
        static_cast<float>(std::sqrt(std::floor(std::fabs(static_cast<double>(x)) / kern) + 1));
    const auto y = static_cast<float>(h.at(k) * scale);
    out.xi.push_back(x);
    out.yi.push_back(y);
    out.wi.push_back(w);
    out.ymax = std::max(out.ymax, static_cast<double>(y));
    out.sumw2 += static_cast<double>(w) * w;
    k += static_cast<int64_t>(std::floor(std::fabs(deps * static_cast<double>(k)) / kern)) + 1;
  }
}

}  // namespace zelmar

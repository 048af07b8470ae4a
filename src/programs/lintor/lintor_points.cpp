// Preparation of the measured points: coincident points of several scans
// merged into one, and every point given to the reflection of the standard
// whose window it lies in.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "programs/lintor/lintor.hpp"

namespace lintor {

void mergepoints(std::vector<float>& sinx, std::vector<float>& intensitaet, std::vector<float>& w) {
  const size_t count = sinx.size();
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return sinx[a] < sinx[b]; });
  std::vector<float> s, y, v;
  for (size_t k = 0; k < count;) {
    const float first = sinx[order[k]];
    size_t end = k + 1;
    while (end < count && std::fabs(sinx[order[end]] - first) < 1.1920929e-6f) ++end;
    double W = 0, ws = 0, wy = 0, ps = 0, py = 0;
    for (size_t i = k; i < end; ++i) {
      const size_t o = order[i];
      W += w[o];
      ws += static_cast<double>(w[o]) * sinx[o];
      wy += static_cast<double>(w[o]) * intensitaet[o];
      ps += sinx[o];
      py += intensitaet[o];
    }
    const auto groupsize = static_cast<double>(end - k);
    // Points without weight carry nothing into the fit, but their mean
    // keeps the merged intensity a number.
    s.push_back(static_cast<float>(W != 0 ? ws / W : ps / groupsize));
    y.push_back(static_cast<float>(W != 0 ? wy / W : py / groupsize));
    v.push_back(static_cast<float>(W));
    k = end;
  }
  sinx.swap(s);
  intensitaet.swap(y);
  w.swap(v);
}

void assignpoints(const std::vector<float>& sinx, const std::vector<float>& intensitaet,
                  const std::vector<float>& w, std::vector<Reflex>& liste, double l0, float f) {
  const size_t nr = liste.size();
  if (nr == 0) return;
  std::vector<float> halfwidth(nr);
  for (size_t r = 0; r < nr; ++r) {
    const double p = liste[r].position;
    halfwidth[r] = static_cast<float>(f * std::sqrt(4 * l0 * l0 - p * p));
  }
  for (size_t k = 0; k < sinx.size(); ++k) {
    const auto P = static_cast<float>(2 * sinx[k] * l0);
    size_t best = 0;
    float dist = std::fabs(P - liste[0].position);
    for (size_t r = 1; r < nr; ++r) {
      const float d = std::fabs(P - liste[r].position);
      if (d < dist) {
        dist = d;
        best = r;
      }
    }
    if (!(dist < halfwidth[best])) continue;
    Reflex& R = liste[best];
    R.sinx.push_back(sinx[k]);
    R.intensitaet.push_back(intensitaet[k]);
    R.w.push_back(w[k]);
  }
}

}  // namespace lintor

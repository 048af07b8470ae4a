// The instrument-profile program: measures the line shape that the
// diffractometer itself gives, from scans of a standard whose reflections are
// known from a peak-parameter file. The measured points are cut into one
// window per reflection; each window is fitted with a background and a sum of
// squared-Lorentzian profile components, grown one component at a time; the
// components of every reflection are written, by angle, into an
// instrument-profile file.
//
// Angles: a point's angle is sin theta; a reflection position is in
// reciprocal d (2 sin theta / lambda); component positions and widths are in
// radians of theta, a positive position lying on the low-angle side.
#pragma once

#include <cstdint>
#include <vector>

namespace lintor {

// One reflection of the standard with the measured points assigned to it.
struct Reflex {
  float intensity = 0;                      // intensity of the standard's peak record
  float position = 0;                       // 1/d
  float lorentz = 0;                        // own Lorentzian width of the standard's line, or 0
  float squared = 0;                        // own squared-Lorentzian width, or 0
  std::vector<float> sinx, intensitaet, w;  // its points, ascending sin theta
};

// ---------------------------------------------------------------------------
// Measured points

// Sorts the points by sin theta and merges coincident ones (sin theta within
// 1.1920929e-6 of a group's first point) into one point of the summed weight,
// with the weight-averaged sin theta and intensity. A group without weight
// keeps the plain means and weight 0.
void mergepoints(std::vector<float>& sinx, std::vector<float>& intensitaet, std::vector<float>& w);

// Gives each point to the nearest reflection (the first one on a tie) when it
// lies within the window of +- f radians of theta around it (half-width
// f 2 l0 cos theta in 1/d); other points are not used. The points are sorted.
void assignpoints(const std::vector<float>& sinx, const std::vector<float>& intensitaet,
                  const std::vector<float>& w, std::vector<Reflex>& liste, double l0, float f);

// ---------------------------------------------------------------------------
// Component search of one reflection

// State of the reflection being fitted: the background coefficient count,
// the points, the reflection, the components (weight g, position e, squared
// width q) and the background coefficients as fitted (tud) and as the
// background model takes them (tu).
extern int ru;
extern int m;
extern const float* sinx;
extern const float* intensitaet;
extern const float* w;
extern const Reflex* reflex;
extern std::vector<double> g, e, q;
extern std::vector<double> tud;
extern std::vector<float> tu;
// Relative smallest component width (EPSILON).
extern float epsilon;

// Weighted residuals of the current components and background at every point
// into r[0..m-1]; always true. The background must be set up over the points
// (unt1).
bool linie(float* r);
// Derivatives of residual p with respect to the background coefficients,
// then g, e, q of each component, into row.
void ableitung(float* row, int p);

// Finds and fits the components of the current reflection (sets up and
// releases the background itself). Leaves them in g, e, q, the final sum of
// squares in *Q and the background-only sum of squares in *Q0. A reflection
// with too few points or no curvature at its top ("q0_negative"), or a
// window too narrow for one grid position ("mtest_zero"), ends the run as an
// internal error (status 250).
void suche(double* Q, double* Q0);

}  // namespace lintor

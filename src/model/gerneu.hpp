// The instrument function: the line shape that the diffractometer itself
// gives for an ideally sharp line, at any Bragg angle.
//
// ger1 loads the instrument description named by LINTOR: the binary GEQ
// table "<name>.geq" (the finished instrument function on a fine angle grid)
// and the instrument-profile file "<name>.ger" (squared-Lorentzian components
// measured at a few angles). ger fills the profile components for one angle,
// gerbatch evaluates many angles on the worker pool; ger2 frees everything.
// Called from the main thread only, never while workers evaluate the model.
#pragma once

#include <cstdint>

namespace model {

// ProfileComponents: the result of the last ger call. Component i contributes
// 2 g[i] q[i]^3 / ((x - e[i])^2 + q[i]^2)^2 at abscissa x (radians of theta,
// the unit of the instrument-profile file) and integrates to pi g[i]; e
// includes the zero shift. Every ger call that returns normally replaces the
// three arrays (each a separate zero-filled allocation of n floats), and ger2
// frees them, so readers copy what they need before the next call.
extern int n;
extern float* g;
extern float* e;
extern float* q;

// Failure mode of ger: 1 (the initial value) makes a failure print its
// message and end the process; a caller that probes sets 0, calls ger and
// tests for 1 afterwards (a failure then sets 1 and returns at once, silently;
// the components are then those of the last successful call).
extern int gererr;

// Beam-path arrangement set by ger1: 0 nothing loaded, 1 REFLEXION,
// 2 TRANSMISSION, 3 CAPILLARY.
extern int32_t zelmarry;

// Loads the instrument description of that name (the extension is replaced);
// a second call frees the first load. Fatal conditions end the process.
void ger1(const char* name);
// Fills n, g, e, q at the Bragg angle whose sine is s (0 < s < 1).
void ger(double s);

// Receives the components of point i of gerbatch (n components g, e, q,
// valid during the call only).
using GerTake = void (*)(int i, int n, const float* g, const float* e, const float* q, void* arg);
// The instrument function at count angles (sines s[0 .. count-1]), each
// handed to take: the same messages and failures as count calls of ger in
// that order, and n, g, e, q left as the last point's. The components are
// those of ger, bit for bit, from a table, one record or a formula. Where
// two measured records are blended and refitted, the batch refits the shape
// only on a grid of angles between the records and interpolates the
// components in between (see gerneu_batch.cpp): each point's components then fit
// the shape at its angle as the refit demands of its own (gerfitmeasure at
// most 1), without being those of ger bit for bit; they depend neither on
// the number of workers nor on the other angles of the batch. With
// measured records or a table loaded, the angles are evaluated on the
// worker pool and take runs on the workers (for each point once, so it
// must write only what belongs to point i); messages and failures come
// after the workers have finished, in the order of the points. Otherwise,
// and while ger probes (gererr 0), every angle is evaluated by ger on the
// calling thread. Main thread only, outside any other batch of the pool.
void gerbatch(int count, const float* s, GerTake take, void* arg);
// Frees the loaded records and table and the component arrays; zelmarry := 0.
void ger2();

// The total weight of the instrument function at the Bragg angle whose sine
// is s: the sum of the weights g that ger gives there (to rounding), without
// the refit where the arrangement fixes the total (two records of a
// reflecting or transmitting sample, no table); the components n, g, e, q
// are then left alone. False, without a message, where ger would fail.
bool gergsum(double s, double* sum);

// How well components fit the line shape that two loaded records give at the
// Bragg angle whose sine is s: the refit's error measure (the weighted
// residuals over its samples of the shape) relative to the one it accepts,
// so at most about 1 for the components of ger and gerbatch; -1 where the
// angle is not blended from two records. For tests and diagnostics.
double gerfitmeasure(double s, int count, const float* g, const float* e, const float* q);

// Read-only view of what ger1 loaded, for the table and test programs and
// for diagnostics. The lists belong to the module and live until ger2.
struct ProfileRecord {  // one angle block of the .ger file
  int32_t n;            // number of components
  float key;            // cot 2 theta of the block's angle
  float centroid;       // centroid of the record's line shape
  float gsum;           // GSUM of the block
  float deltaomega;     // DeltaOmega in radians
  ProfileRecord* next;  // keys descending (theta ascending)
  float* g;             // weights, normalised to sum 1
  float* e;             // positions
  float* q;             // widths
};
struct TableRecord {  // one grid point of the GEQ table
  int32_t n;
  float key;  // sin theta of the grid point
  float* g;
  float* e;
  float* q;
  TableRecord* next;  // file order (increasing angle)
};
const ProfileRecord* gerrecords();
const TableRecord* gertable();
// The 124-byte header of the loaded GEQ table (offsets 8 and 12 are also set
// by ger1 when no valid table is loaded).
const unsigned char* gerheader();

}  // namespace model

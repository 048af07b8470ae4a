// Structure set-up of a phase: brings the current phase up to date with the
// current values of the refined parameters before its reflections are
// computed.
#pragma once

namespace crystal {

// Sets up the current phase (phasei) in the top scope of the store: executes
// the phase's and its atoms' parameter statements (with the structure
// functions registered for the duration), refreshes cell and metric,
// symmetrises the anisotropy objects (stage 2 on) and the texture coefficients
// (stage 1 on) with their penalty rows, places every atom on all sites of its
// Wyckoff position with every centring translation, names atoms and elements
// on the first call, checks special positions against the group's operators,
// resolves occupancies, weights and displacement factors, and computes the
// density and attenuation of the phase (keys density and my, per component
// density[i] and my[i]).
//
// Each atom keeps one detached scope per worker thread and one of its own,
// with its statements executed in each, so that the workers of the line
// computation evaluate its formulas with the values set here.
//
// A failing definition: message -208; an atom whose formulas fail: message 261
// with its number; a special position whose multiplicity does not divide the
// general one: message -215; a site not met by the expected number of
// operators: message -216 (site number, count found). All leave through the
// caller's error frame. Main thread only.
void xyzinit();

}  // namespace crystal

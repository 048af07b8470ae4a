// Reflection line computation: turns one reflection of the current phase into
// one line of the pattern model. The reflection's 1/d comes from the current
// cell; its structure factor, texture weight, intensity, position shifts and
// line breadths from the current parameters and from the formulas the user
// attached to the phase. Every quantity is stored in the reflection record and
// published as a formula variable of the calling thread ("sk", "zweiTheta",
// the anisotropy objects, "iref", "h", "k", "l", "F", "Finv", "H",
// "GEWICHT"), so that the user's formulas of later quantities can use the
// earlier ones; the variables are deleted again when the line is done. The
// line goes as one peak into its slot of the peak set param.
//
// Which of the user's quantities a reflection kind reads ("F", "GEWICHT",
// "DELTAsk", "DELTAzweiTheta", "B1", and "B2" or "k1", "k2", "k3"; each in the
// per-kind form NAME[iref] or plain) and in which order they can be
// evaluated is found once per kind, at its first line, and kept in the
// phase's line probes.
#pragma once

#include <cstdint>
#include <string>

#include "crystal/records.hpp"

namespace crystal {

// Computes reflection refl of phasei in the calling thread's top scope. Runs
// on any thread, one reflection per call; the reflections of a phase are
// independent. A failing formula, an item that gives different values for a
// reflection and its inverse (-221), a kind whose breadths or weight cannot
// be found (-141, -142) and a vanished variable (-9) leave through the
// caller's error frame. Out-of-range quantities are fatal: 2theta out of
// range (-62), B1 or B2 negative (-35), k2 < 0 (-37), k1 < 0 (-43), k1 > 1
// (-45), a negative weight (-46); see setlinefailure for where they go.
void computeline(ReflectionRecord* refl);

// A fatal message (or internal error) of the line computation kept for the
// main thread instead of ending the process on a worker.
struct LineFailure {
  int32_t status = 0;  // exit status; 0 while nothing failed
  std::string text;    // the message as it would have been printed
};

// Routes the fatal messages and internal errors of the line computation on
// the calling thread into *slot; the line then leaves through the caller's
// error frame with no error pending. With null (the default of every thread)
// they are printed and end the process at once.
void setlinefailure(LineFailure* slot);

// Prints a kept failure and ends the process with its status.
[[noreturn]] void linefailureexit(const LineFailure& failure);

}  // namespace crystal

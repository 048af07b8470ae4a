// Goals and penalties: the evaluation of a phase's definitions, goal
// definitions and goal formulas once per evaluation of the model (goal), the
// two statement evaluators of parameter records, and the list of penalty rows
// (values held near zero as extra least-squares residuals).
#pragma once

#include <cstdint>

#include "crystal/records.hpp"

namespace crystal {

// Pushes a penalty row for the double at value on straferst and counts it in
// istraf. kind 0: its derivatives are measured at every derivative pass; 1:
// once per stage.
void strafinit(double* value, int32_t kind);

// A goal definition lhs=rhs: the variable lhs gets the value of rhs (any "="
// directly after the first are skipped: a==b assigns b). A text without "="
// outside brackets is evaluated as a formula. An empty left side: message
// -217 and a data error to the caller's frame.
void goalergibt(const char* text);

// A definition line: a statement when "=" or ":" stands outside brackets,
// else a formula to evaluate. Failure: message -208 with the text and a data
// error to the caller's frame.
void evaluateergibt(const char* text);

// Straf(value) while goals are evaluated: records nothing, returns 1.
double goaldummystraf(const char* name, const char* const* args, int nargs);

// Registers in the top scope the formula functions of a phase's structure
// and goal formulas (PHASE, the coordinate and vector functions, F, WW, WWalt,
// and the recording Straf), and removes them from it again.
void registerstructurefunctions();
void removestructurefunctions();

// Evaluates the goals of the current phase (phasei): every atom's records,
// then the phase's, with the phase's formula functions registered for the
// duration (Straf records nothing then); goal values go to goalwert, the cell
// (nm, degrees) to the phase's six goal slots. The texture mean GEWICHT is
// computed once, when a goal first fails for want of it. A failing goal is
// marked failed and keeps the value 0 until the flags are cleared; a failure
// in an atom's definitions prints message 261 with the atom number and
// leaves through the caller's frame.
void goal();

}  // namespace crystal

// tamrel: the refinement of crystal structures and microstructure against
// measured scans. The private header of the driver's files, one concern each:
//
//   tamrel_run.cpp        the road of a run: keys, scans, instrument profile,
//                         wavelengths, scattering data, model tables, end
//   tamrel_strucfile.cpp  the grammar of structure-file items: keywords,
//                         anisotropy items, element and set lists, the GOAL
//                         and PARAM grammar shared with the control file
//   tamrel_phase.cpp      reading the structure files into phases and atoms
//   tamrel_goals.cpp      global goals and parameters GOAL[k], PARAM[k]
//   tamrel_reflist.cpp    the reflection lists of all phases and the peak set
//   tamrel_datasets.cpp   further data sets fitted with the refined model
//
// The run is a single pass on the main thread; worker threads are used only
// inside the model evaluations of the shared modules.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/message.hpp"
#include "crystal/tamrel.hpp"

namespace tamrel {

// Module name of the driver's internal errors.
constexpr const char* kModule = "tamrel";
// Longest file or radiation name read from a key.
constexpr int kNameLen = 7996;
// Longest text of a key (TITEL, GOAL[k], PARAM[k]) and of a structure-file item.
constexpr int kTextLen = 8000;
// The largest single-precision magnitude: a bound that is not given.
constexpr double kFloatMax = 3.4028234663852886e38;

// ---------------------------------------------------------------------------
// Refusals

// Passes a refusal on to the innermost error frame, which adds its own
// messages (atom, phase) and hands the run to the outermost handler.
[[noreturn]] void passon();

// Prints message N and passes the refusal on.
template <int N, class... A>
[[noreturn]] void refuse(const A&... args) {
  core::message<N>(args...);
  passon();
}

// ---------------------------------------------------------------------------
// Run state

// Settings and values established by the set-up of a run and read by its
// later steps.
struct RunState {
  bool allstages = true;      // ONLYISO: all stages, or stage 0 only
  float isofactor = 1e-4f;    // model-error factor of stage 0
  bool protokoll = false;     // PROTOKOLL: the minimiser's protocol
  int itmax = -1;             // ITMAX: iteration limit of a minimiser call; -1 chosen by the stage
  double thetamin = 0.0;      // degrees: WMIN / 2, then the measured range
  double thetamax = 89.0;     // degrees: WMAX / 2, then the measured range
  int ru = -1;                // background coefficients; -1 chosen from the range
  bool haslintor = false;     // LINTOR is given
  std::string lintor;         // instrument-profile name
  std::string unt;            // UNT: scaled background curve, empty when not given
  std::string untc;           // UNTC: fixed background curve, empty when not given
  std::string radiation;      // radiation or wavelength name
  std::string scanradiation;  // the name as the scan reader gave it, before the keys
  int npoints = 0;            // measured points n (before the derivative transform)
  double skmin = 0.0;         // window of 1/d^2 for the reflections
  double skmax = 0.0;
  int iterations = 0;       // minimiser iterations of the whole run
  char starttime[32] = "";  // the time the settings were read
};
extern RunState runstate;

// ---------------------------------------------------------------------------
// The run (tamrel_run.cpp)

// The whole run from the command line to the exit status.
[[noreturn]] void run(int argc, char** argv);

// The run keys NTHREADS .. UNTC, each under its own error frame: a missing
// or faulty key gives its default. Loads the instrument profile (LINTOR).
void readsettings();
// The scans VAL[k], the radiation and polarisation, the wavelength lines, the
// scattering data, the measured range, the diagram arrays (DIAGRAMM), the
// line-profile tables and the window of 1/d^2 for the reflections.
void readpattern();
// The measured range of the current pattern (at least one point): its
// number of points n (before the derivative transform), sinxmin and sinxmax,
// thetamin and thetamax.
void measuredrange();
// The scans, structure files and control file as the run's inputs, and
// every output of every data set checked against them (core/runfiles.hpp):
// an output that is an input ends the run before anything is written.
void declarefiles();
// Frees everything the run built, the driver's own in reverse order of
// building, then the tables of the shared modules.
void freerun();

// The error-frame depth must be 1 (only the outermost handler installed):
// otherwise internal error label (in module tamrel) at that line.
void checklevel(const char* label, int line);

// ---------------------------------------------------------------------------
// Structure-file grammar (tamrel_strucfile.cpp)

// A refusal of the GOAL or PARAM grammar: the message number (0: none) and
// the text its message names (PARAM without value: the name).
struct GrammarError {
  int number = 0;
  std::string argument;
};

// Prints the message of a refused GOAL or PARAM text.
void grammarmessage(const GrammarError& e);

// Parses a goal text "formula[=result][+-accuracy]" into rec (goal formula,
// second formula); the goal index is the caller's.
GrammarError parsegoal(const char* text, crystal::ParamRecord* rec);

// Parses a parameter text "name[=value][_minimum][^maximum]" into rec (name,
// value, bound texts). The value formula is evaluated at once; without one
// the value is that of the store variable of the name. A store error of the
// evaluation jumps to the innermost frame.
GrammarError parseparam(const char* text, crystal::ParamRecord* rec);

// Values held while the header of one phase is read.
struct HeaderState {
  crystal::PhaseRecord* phase = nullptr;
  bool anisolimitgiven = false;
  double anisolimit = 0.0;  // ANISOLIMIT in force
  bool aniso4limitgiven = false;
  double aniso4limit = 0.0;  // ANISO4LIMIT in force
  std::vector<int> lebail;   // LeBail= values, applied after the atoms
  std::string name;          // PHASE=, or the default from the file name
};

// Applies every header keyword the item matches, in the order of the
// keyword table; false for a statement. Refusals jump (message -127 for a
// unit, a store error for a formula).
bool headerkeyword(HeaderState& hs, const char* item);

// A structure-file item that begins an atom: "E" followed by "=" or "(".
bool atomitem(const char* item);

// Parses an atom's "E=" or "E(...)=" item into the atom: the per-set texts
// (with the Le Bail marks of the phase) and the element records with their
// names and bracketed texts (scattering data not yet looked up). Refusals
// print -192 (with the item or a name) or -3 and jump; a set list with more
// entries than the phase has sets ends the run (status 192).
void parseatomitem(crystal::PhaseRecord* phase, crystal::AtomRecord* atom, const char* item);

// Applies an atom keyword (Wyckoff=, ANISOLIMIT=, TDS=ANISO...); false for
// any other item.
bool atomkeyword(crystal::PhaseRecord* phase, crystal::AtomRecord* atom, const char* item);

// ---------------------------------------------------------------------------
// Phases (tamrel_phase.cpp)

// Reads the structure files STRUC[1], STRUC[2], ... into the phase list and
// sets nphasen; allocates yphasen when y exists. A refusal while a file is
// read names the file, and the line and item where it stood (messages 365,
// 366), after message 260.
void readphases();

// ---------------------------------------------------------------------------
// Global goals and parameters (tamrel_goals.cpp)

// Parses GOAL[k] and PARAM[k] into paramglobal, allocates the goal values,
// clears the peak counts and opens the set-up scope with every global
// parameter's start value.
void readglobals();
// Rewrites GOAL[k] and PARAM[k] in the run scope from paramglobal.
void writeglobals();
// True with the index of the first global record of that name.
bool ifparamglobal(const char* name, int* index);
// Laue class 0..10 of a space-group number.
int lauegroup(int spacegroup);
// Frees paramglobal and the goal values.
void freeglobals();

// ---------------------------------------------------------------------------
// Reflection lists (tamrel_reflist.cpp)

// The sorted reflection list of one phase, every reflection set of it in
// the window of 1/d^2 of the run: the phase set up once per set in scopes of
// its own, equivalents met through the table of equivalents, systematic
// absences by centring, the general reflection conditions of the space group
// and of the structure file, the measured points and (outside Le Bail sets)
// the starting structure left out. Internal errors "zentronotfound" and
// "hkltable not empty" when the equivalents do not close up.
void phasereflections(crystal::PhaseRecord* phase);
// The reflection lists of all phases (a refusal adds message 260 with the
// phase number), the peak set, the peak columns and the background model;
// drops the set-up scope.
void buildreflections();
// Frees the peak set, the peak columns and the background coefficients.
void freereflections();

}  // namespace tamrel

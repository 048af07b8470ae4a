// The structure files a refinement writes for each phase: the refined
// structure file (the phase's own items with the refined values put in, ready
// to serve as the structure file of the next run) and the simplified
// structure file (the header items with the refined values, and in place of
// the atoms the final structure-factor magnitudes of every reflection, the
// density and my, and the final per-set line quantities), which reproduces
// the phase's pattern without its structure model.
//
// Both go through the suite's one file writer: a temporary file beside the
// final one, renamed over it only when everything was written, so that a
// structure file named as its own output is never lost, also not when the
// writing fails part-way.
#pragma once

#include <string>

#include "crystal/tamrel.hpp"

namespace tamrel {

// Writes the refined and then the simplified structure file of every phase,
// in phase order, for data set `dataset` (0: the keys STRUCOUT[p] and
// SimpleSTRUCOUT[p]; i > 0: STRUCOUT[i,p] and SimpleSTRUCOUT[i,p]; p the
// phase number). An undefined key writes nothing for that phase; a file that
// cannot be opened is a warning (232, 235) and is skipped. The driver calls it
// once per data set in its output step, after the list file (which sets the
// error state, the decimals and the goals' error estimates of the records)
// and after the instruction files; goalwert must hold the final goal values.
// A store error while a phase is written (a bound text that cannot be
// evaluated) prints message 261 for an atom and 260 with the phase number,
// and passes the error on to the caller's error frame.
void writestructurefiles(int dataset);

// The refined structure file of one phase at path (the extension "str" is
// added when it has none); false, after message 232, when it cannot be
// written. Store errors leave through the caller's error frame after
// message 261 for an atom; the old file is then left as it was.
bool writerefined(const crystal::PhaseRecord* phase, const char* path);

// The simplified structure file of one phase at path (extension "str" added
// when missing); false, after message 235, when it cannot be written.
bool writesimplified(const crystal::PhaseRecord* phase, const char* path);

// The text of one record as the refined structure file writes it: GOAL=
// items with the final goal value (header goals also UNDEF, atom goals only
// with an error estimate) and their "+-" accuracy part, PARAM= items with the
// refined value ("%.14E", or the bound text itself when the value sits on a
// bound) and their bounds, GOAL: items, statements and keywords as read.
std::string recordtext(const crystal::ParamRecord& record, bool header);

// Output file names of the run's end, shared by its writers: the name under
// key[p] for data set 0 or key[dataset,p] for an additional data set (at most
// 7996 characters); false when that key is not defined.
bool outputname(const char* key, int dataset, int p, std::string& name);
// path with the extension added when it has none.
std::string withextension(const char* path, const char* extension);

}  // namespace tamrel

// The common start and end of every program: command-line statements, the
// installation directory, the configuration file and the control file into
// the store at the start; control and configuration file written back at the
// end.
#pragma once

#include <cstdio>

namespace core {

// The version text printed by the banner.
inline constexpr char VERSION[] = "4.2.23";

// Start routine. cfgname is the program's configuration file in the
// installation directory (e.g. "tamrel.cfg"). constants, when not null, is
// called with the empty base scope on top, before the configuration file is
// read, so that a program can put its constants there. Afterwards the run
// scope (control file with the command-line keys committed) is the top scope,
// the lookup mode is 2 and the outermost error handler is the only frame.
void prolog(int argc, char** argv, const char* cfgname, void (*constants)() = nullptr);

// End routine: writes the run scope back to the control file (unless SAVE
// begins with "N" or "n"), the configuration scope to the configuration file,
// releases the store and ends the program with status 0. The run scope must
// be the top scope and the outermost handler the only frame left.
[[noreturn]] void epilog();

// Reduced start of the space-group database checker: banner, command-line
// statements without a frame, KALVO, NICE. No configuration or control file.
// The program installs its outermost handler itself (dataerr_newhandler with
// dataerr_printexit) once its data file is open.
void prolog_reduced(int argc, char** argv);
// Reduced end: closes datafile (when not null), releases the store, status 0.
[[noreturn]] void epilog_reduced(FILE* datafile);

}  // namespace core

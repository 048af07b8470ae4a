// The common start and end of every program: command-line statements, the
// installation directory, the configuration file and the control file into
// the store at the start; control and configuration file written back at the
// end.
#pragma once

#include <cstdio>

namespace core {

// The version text printed by the banner.
inline constexpr char VERSION[] = "4.2.23";

// Start routine. Sets the signal dispositions first (fatal_signals), and
// refuses an argument holding a line feed or another control character other
// than tab (message -85) as soon as the installation directory is known,
// before any file is read or written. cfgname is the program's configuration file in the
// installation directory (e.g. "tamrel.cfg"). constants, when not null, is
// called with the empty base scope on top, before the configuration file is
// read, so that a program can put its constants there. Afterwards the run
// scope (control file with the command-line keys committed) is the top scope,
// the lookup mode is 2 and the outermost error handler is the only frame.
void prolog(int argc, char** argv, const char* cfgname, void (*constants)() = nullptr);

// End routine: writes the run scope back to the control file (unless SAVE
// begins with "N" or "n"), the configuration scope to the configuration file,
// releases the store and ends the program with status 0, or non-zero when an
// input the run was named could not be read or an output it was asked for
// could not be written (core::runend). The run scope must
// be the top scope and the outermost handler the only frame left.
[[noreturn]] void epilog();

// Writes the top scope into the control file name (the extension "sav"
// added when it has none) through the common writer, as the end routine
// does; for a program that saves its keys during the run (a restart point).
// False, and nothing written, when the file cannot be written, or when it
// existed at the start but could not be read: replacing it would lose the
// user's keys.
bool savecontrolfile(const char* name);

// True when name is the control file that existed at the start but could not
// be read (also under another spelling of its path).
bool controlunreadable(const char* name);

// Reduced start of the space-group database checker: banner, command-line
// statements without a frame, KALVO, NICE. No configuration or control file.
// The program installs its outermost handler itself (dataerr_newhandler with
// dataerr_printexit) once its data file is open.
void prolog_reduced(int argc, char** argv);
// Reduced end: closes datafile (when not null), releases the store, status 0.
[[noreturn]] void epilog_reduced(FILE* datafile);

}  // namespace core

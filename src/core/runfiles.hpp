// The files of one run: every file the run reads is registered under the key
// that names it, and every output is compared with them before anything is
// written, so that no run writes over its own inputs. Beside it the record
// of what a run could not do: a named input that could not be read, or an
// asked-for output that could not be written, lets the run go on with the
// rest, but the end routine then ends it with a non-zero status.
//
// Two files are the same when both exist and have the same device and inode
// (a link, a hard link or another spelling of the path), else when their
// canonical paths are equal (links followed, the directory resolved).
#pragma once

#include <string>
#include <vector>

namespace core {

// Registers path as a file the run reads, named by key (a key with its index,
// e.g. "VAL[2]", or a description such as "the control file"). An empty path
// is not registered.
void runinput(const std::string& key, const std::string& path);

// Refuses the output path named by key when it is a file the run reads:
// message -90 with both keys and the file, and the end with status 90 before
// anything is written. An input registered under one of the keys mayreplace
// is one this output replaces by design (a file refined in place): it is
// passed over, and marked as rewritten.
void runoutput(const std::string& key, const std::string& path,
               const std::vector<std::string>& mayreplace = {});

// Marks the input path as rewritten by design (the control file, a peak file
// refined in place): the writer's last check passes it over.
void runrewritten(const std::string& path);

// The writer's last check, for the final place of a file about to be
// written: a registered input that is not rewritten by design ends the run
// with message -91 before the file is opened.
void runwritecheck(const std::string& target);

// True when a and b name the same file (see above).
bool samefile(const std::string& a, const std::string& b);

// A named input that could not be read (message n printed before): the run
// goes on, and ends with status 92 after message -92.
void inputfailed(int n);
// An asked-for output that could not be written (message n printed before):
// the run goes on, and ends with status 93 after message -93.
void outputfailed(int n);

// The number of inputfailed calls so far.
int inputfailures();

// Ends the process through fatal_exit: with status 0 when nothing failed,
// else with the closing messages -92 and -93 (each when its class failed) and
// the status of the class that failed first.
[[noreturn]] void runend();

// The status runend would end with (0 when nothing failed).
int runstatus();

}  // namespace core

// Small services shared by every program: the numbered message catalogue,
// files in the installation directory, the working directory, the radiation
// kind and polarisation, and a few numeric helpers.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace core {

// Installation directory (at most 8000 characters), set by the start routine.
extern char kalvo[8001];

// Text of message n from the catalogue "err.msg" in the installation
// directory, in a per-thread buffer valid until the thread's next call.
// A missing catalogue, a malformed line or an unknown number ends the program.
// Programs print messages through the typed calls of core/message.hpp.
const char* errmsg(int n);
// Releases the catalogue; a later errmsg loads it again.
void nodesfree();

// Opens kalvo + "/" + name. For reading, the leading lines that begin with
// "%" are skipped; a stream for reading belongs to the calling thread alone
// (it takes no lock). Returns nullptr when the file cannot be opened.
FILE* kalvoopen(const char* name, const char* mode);

// The next character of a text file, a CR LF line end read as the one LF of
// the same file written with LF line ends; EOF at the end.
int getcharlf(FILE* f);

// Changes the working directory: message 57 on success, message -2 and
// status 2 on failure.
void mychdir(const char* dir);

// Radiation kind: 0 none, 1 X-ray, 2 synchrotron, 3 neutrons.
extern int radiation;
extern bool polgesetzt;
extern float pol;
void setxray(bool flag);
void setsynchrotron(bool flag);
void setneutrons(bool flag);
void setpol(bool flag);
bool ifxray();
bool ifsynchrotron();
bool ifneutrons();
bool ifpol();

// True for +-infinity and NaN.
bool isnotfinite(double x);
// Modulus of re + i im without intermediate overflow.
double mycabs(double re, double im);
double myatanh(double x);

// Ends the run for lack of memory: message -44, status 44.
[[noreturn]] void outofmemory();
// Makes a failed allocation of a standard container or of new end the run
// the same way (message -44, status 44) instead of an abort; the start
// routines install it.
void install_outofmemory_handler();

// count zero-filled elements (room for one when count is 0), or the end of
// the run with message -44 when the memory is not there.
template <typename T>
T* kcalloc(size_t count) {
  // T is often a record pointer: an array of pointers.
  void* p = std::calloc(count == 0 ? 1 : count, sizeof(T));  // NOLINT(bugprone-sizeof-expression)
  if (p == nullptr) outofmemory();
  return static_cast<T*>(p);
}

}  // namespace core

// quindle: tabulates the instrument function on a grid of diffraction angles
// and stores it as the binary GEQ table "<LINTOR>.geq". A fitting program that
// finds the table beside the instrument-profile file takes the line shape from
// the nearest grid point instead of interpolating and refitting the measured
// profiles at every angle.
//
// Keys: LINTOR (instrument profile, required), WMIN and WMAX (first and last
// 2theta in degrees, default 20 and 140), WSTEP (step of 2theta in degrees,
// read at every grid point with zweiTheta holding the angle just written,
// default 0.01, never below 0.01 in magnitude), GEQ (name of the table,
// default the LINTOR name), D, R and T (set-up distances for the header).
//
// The table carries no zero shift: EPS1 to EPS4 read as 0 while it is built,
// and every program that reads the table adds its own zero shift. An existing
// table is never lost: it is moved aside only while the instrument-profile
// file is loaded (so that the new table does not come from the old one) and
// put back before the program ends, whatever happens; the new table is
// written to a temporary file that replaces the table only when every write
// succeeded.
//
// File layout (little-endian, no padding): a 124-byte header (magic
// "GEQ.<V|T|C><1|2>", D/R, T/D or T/R, sin theta of WMIN and WMAX, the LINTOR
// name), then per grid point: f32 sin theta, i32 n, f32 g[n], f32 e[n],
// f32 q[n].
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/message.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "scan/apx63.hpp"

namespace quindle {
using namespace core;
using namespace scan;
using namespace model;

namespace {

constexpr const char* kModule = "quindle";
constexpr double kPi = 3.141592653589793;
constexpr int kHeaderSize = 124;
constexpr int kNameField = 100;
constexpr int kNameLen = 7996;  // longest LINTOR and GEQ name

// File names, each with room for the name and a forced extension.
char tablename[kNameLen + 8];  // <LINTOR>.geq
char parkname[kNameLen + 8];   // <LINTOR>.get: the old table while ger1 loads
char finalname[kNameLen + 8];  // <GEQ or LINTOR>.geq
char tempname[kNameLen + 8];   // <GEQ or LINTOR>.get: the table being written

// What a fatal end or a signal must undo: 1 while the old table is parked,
// 2 while the new table is being written.
volatile sig_atomic_t pending = 0;

// Puts the parked table back, or removes the half-written one. Only calls
// that are safe in a signal handler.
void undo() {
  if (pending == 1)
    rename(parkname, tablename);
  else if (pending == 2)
    unlink(tempname);
  pending = 0;
}

void onsignal(int sig) {
  undo();
  signal(sig, SIG_DFL);
  raise(sig);
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Guards the files from the parking of the old table to the replacement by
// the new one: a fatal end (store error, failure of the instrument function,
// internal error) or an interrupt puts things back first.
void guard(int what) {
  pending = what;
  fatal_cleanup(undo);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onsignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) sigaction(sig, &sa, nullptr);
}

void unguard() {
  pending = 0;
  fatal_cleanup(nullptr);
  for (int sig : kSignals) signal(sig, SIG_DFL);
}

double optional(const char* key, double def) {
  double v = def;
  if (!dataerr_try([&] { v = GetVar(key); })) v = def;
  return v;
}

// A key that is defined and not zero.
bool nonzero(const char* key) {
  double v = 0;
  return dataerr_try([&] { v = GetVar(key); }) && v != 0;
}

// The quotient of two keys, or def when either cannot be read.
float ratio(const char* num, const char* den, float def) {
  double a = 0, b = 0;
  if (!dataerr_try([&] {
        a = GetVar(num);
        b = GetVar(den);
      }))
    return def;
  return static_cast<float>(a / b);
}

void putu32(unsigned char* p, uint32_t u) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(u >> (8 * k));
}

void putf32(unsigned char* p, float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  putu32(p, u);
}

bool exists(const char* path) { return access(path, F_OK) == 0; }

// The new table failed: the temporary file goes, the old table stays.
[[noreturn]] void writefailure(FILE* f) {
  if (f != nullptr) std::fclose(f);
  unlink(tempname);
  unguard();
  fatal<-82>(finalname);
}

void writeall(FILE* f, const void* data, size_t size) {
  if (std::fwrite(data, 1, size, f) != size) writefailure(f);
}

// Shadows the zero-shift keys with "0" in a scope of their own above the run
// scope, so that the keys of the run (a formula stays a formula, a number a
// number, in their places) are what the end routine saves.
const char* const kZeroShift[] = {"EPS1", "EPS2", "EPS3", "EPS4"};

void zeroshiftoff() {
  newDATAlist();
  for (const char* key : kZeroShift) SetStrVar(key, "0");
}

void zeroshifton() {
  for (const char* key : kZeroShift) DelVar(key);
  freeDATAlist();
}

}  // namespace

int run(int argc, char** argv) {
  prolog(argc, argv, "quindle.cfg");

  // Instrument profile: undefined is message -56; a name too long for the
  // file names reaches the outermost handler with the store's error.
  static char lintor[kNameLen + 1];
  if (!dataerr_try([] { GetStrVar("LINTOR", 1 << 24, nullptr); })) fatal<-56>();
  GetStrVar("LINTOR", kNameLen, lintor);

  zeroshiftoff();

  unsigned char header[kHeaderSize];
  std::memset(header, 0, sizeof header);
  double wmin = optional("WMIN", 20);
  double wmax = optional("WMAX", 140);
  putf32(header + 16, static_cast<float>(std::sin(wmin * kPi / 360)));
  putf32(header + 20, static_cast<float>(std::sin(wmax * kPi / 360)));
  // The name field keeps at most 99 bytes and its terminating zero; a longer
  // name is cut there (it only names the instrument in messages).
  std::memcpy(header + 24, lintor, std::min<size_t>(std::strlen(lintor), kNameField - 1));

  // Park an old table, so that ger1 loads the instrument-profile file.
  assign(lintor, tablename);
  makeextension(tablename, "geq", 1);
  assign(lintor, parkname);
  makeextension(parkname, "get", 1);
  if (exists(parkname)) unlink(parkname);
  bool parked = false;
  if (exists(tablename)) {
    guard(1);
    if (rename(tablename, parkname) != 0) {
      unguard();
      fatal<-153>(parkname);
    }
    parked = true;
  }
  ger1(lintor);
  if (parked) {
    if (rename(parkname, tablename) != 0) {
      unguard();
      fatal<-83>(parkname, tablename);
    }
    unguard();
  }

  // Header fields from the arrangement of the loaded profile.
  switch (zelmarry) {
    case 1:
      putf32(header + 8, ratio("D", "R", 0.0f));
      putf32(header + 12, ratio("T", "D", 10.0f));
      break;
    case 2:
    case 3:
      if (!nonzero("D")) fatal<-131>();
      putf32(header + 8, ratio("D", "R", 0.0f));
      if (!nonzero("T") || !dataerr_try([] { GetVar("R"); })) fatal<-131>();
      putf32(header + 12, ratio("T", "R", 0.0f));
      break;
    default:
      break;
  }
  static const char kLetter[] = {0, 'V', 'T', 'C'};
  if (zelmarry < 1 || zelmarry > 3) internal_error("wrongZELMARRY", kModule, __LINE__);
  std::memcpy(header, "GEQ.", 4);
  header[4] = static_cast<unsigned char>(kLetter[zelmarry]);
  header[5] = iftubetails ? '2' : '1';

  // The new table goes to a temporary file beside its final place.
  static char geq[kNameLen + 1];
  if (!dataerr_try([] { GetStrVar("GEQ", kNameLen, geq); })) assign(lintor, geq);
  assign(geq, finalname);
  makeextension(finalname, "geq", 1);
  assign(geq, tempname);
  makeextension(tempname, "get", 1);
  guard(2);
  FILE* f = std::fopen(tempname, "wb");
  if (f == nullptr) {
    unguard();
    fatal<-153>(tempname);
  }
  writeall(f, header, sizeof header);

  // One record per grid angle.
  std::vector<unsigned char> record;
  newDATAlist();
  for (double x = wmin; x <= wmax;) {
    float s = static_cast<float>(std::sin(x * kPi / 360));
    ger(s);
    record.resize(8 + 12 * static_cast<size_t>(n));
    putf32(&record[0], s);
    putu32(&record[4], static_cast<uint32_t>(n));
    for (int i = 0; i < n; ++i) {
      putf32(&record[8 + 4 * i], g[i]);
      putf32(&record[8 + 4 * (n + i)], e[i]);
      putf32(&record[8 + 4 * (2 * n + i)], q[i]);
    }
    writeall(f, record.data(), record.size());
    std::printf("zweiTheta=%-7.3f N=%d\n", x, n);
    std::fflush(stdout);
    SetVar("zweiTheta", x);
    x += std::fmax(std::fabs(optional("WSTEP", 0.01)), 0.01);
  }
  DelAll();
  freeDATAlist();
  ger2();

  // Every byte must have reached the file before it replaces the table.
  if (std::fflush(f) != 0 || std::ferror(f) != 0) writefailure(f);
  if (std::fclose(f) != 0) writefailure(nullptr);
  if (rename(tempname, finalname) != 0) writefailure(nullptr);
  unguard();

  zeroshifton();
  epilog();
}

}  // namespace quindle

int main(int argc, char** argv) { return quindle::run(argc, argv); }

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
// put back before the program ends, whatever happens; a table a stopped run
// left moved aside is put back by the next run. The new table is written to
// a temporary file of its own that replaces the table only when every write
// succeeded. A lock file "<table>.lock" beside the table keeps a second run
// on the same table out from the parking of the old table to the renaming
// of the new one: that run waits a few seconds and then stops, changing
// nothing.
//
// The grid runs from WMIN by index (WMIN + k WSTEP, anew from the current
// angle when WSTEP changes), so that it always ends; a grid of more than
// 100000 angles is refused.
//
// File layout (little-endian, no padding): a 124-byte header (magic
// "GEQ.<V|T|C><1|2>", D/R, T/D or T/R, sin theta of WMIN and WMAX, the LINTOR
// name), then per grid point: f32 sin theta, i32 n, f32 g[n], f32 e[n],
// f32 q[n].
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
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

// Angles of a grid at most: the finest grid (steps of 0.01 degrees) over the
// whole range of 2theta has 18001; beyond this a grid is a mistake that would
// run for hours and fill the disk.
constexpr int kMaxPoints = 100000;
// How long a run waits for another run on the same table.
constexpr int kLockWaitMs = 3000;

// File names, each with room for the name and a forced extension.
char tablename[kNameLen + 8];  // <LINTOR>.geq
char parkname[kNameLen + 8];   // <LINTOR>.get: the old table while ger1 loads
char finalname[kNameLen + 8];  // <GEQ or LINTOR>.geq

// Lock files held by this run (the table beside the profile file and the
// final table), with their descriptors.
struct Lock {
  char name[kNameLen + 16];
  int fd = -1;
};
Lock locks[2];

// 1 while the old table is parked.
volatile sig_atomic_t parked = 0;

// Puts the parked table back and releases the locks; a fatal end or an
// ending signal runs it. Only calls that are safe in a signal handler.
void undo() {
  if (parked != 0) rename(parkname, tablename);
  parked = 0;
  for (Lock& l : locks) {
    if (l.fd < 0) continue;
    unlink(l.name);
    close(l.fd);
    l.fd = -1;
  }
}

// Takes the lock of table into l: true when held, false when another run
// holds it beyond the waiting time. A lock file that cannot be made is
// message -153 for the table.
bool takelock(Lock& l, const char* table) {
  std::snprintf(l.name, sizeof l.name, "%s.lock", table);
  for (int waited = 0;; waited += 50) {
    int fd = open(l.name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) fatal<-153>(table);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // The run that held it may have removed the file meanwhile: the lock
      // counts only on the file that still bears the name.
      struct stat held, named;
      if (fstat(fd, &held) == 0 && stat(l.name, &named) == 0 && held.st_dev == named.st_dev &&
          held.st_ino == named.st_ino) {
        l.fd = fd;
        return true;
      }
      close(fd);
      continue;
    }
    close(fd);
    if (waited >= kLockWaitMs) return false;
    usleep(50000);
  }
}

// Locks the table beside the profile file and the final table (one lock
// when they are the same), always in the same order, so that two runs never
// wait for each other crosswise.
void lockall() {
  fatal_cleanup(undo);
  const char* first = tablename;
  const char* second = finalname;
  if (std::strcmp(first, second) > 0) std::swap(first, second);
  if (!takelock(locks[0], first)) fatal<-87>(first, locks[0].name);
  if (std::strcmp(first, second) != 0 && !takelock(locks[1], second))
    fatal<-87>(second, locks[1].name);
}

void unlockall() {
  undo();
  fatal_cleanup(nullptr);
}

// A key that may be left out: def when it is not defined; a formula that
// fails is the store's error (reported by the outermost handler), never
// silently replaced by the default.
double optional(const char* key, double def) {
  if (!dataerr_try([&] { GetStrVar(key, 1 << 30, nullptr); })) {
    ClearErr();
    return def;
  }
  return GetVar(key);
}

// A key that is defined and not zero.
bool nonzero(const char* key) {
  double v = 0;
  return dataerr_try([&] { v = GetVar(key); }) && v != 0;
}

// The quotient of two keys, or def when either cannot be read. A divisor of
// 0 (or a quotient beyond single precision) would put infinity or NaN into
// the table header: refused.
float ratio(const char* num, const char* den, float def) {
  double a = 0, b = 0;
  if (!dataerr_try([&] {
        a = GetVar(num);
        b = GetVar(den);
      }))
    return def;
  const float r = static_cast<float>(a / b);
  if (!std::isfinite(r)) fatal<-131>();
  return r;
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
[[noreturn]] void writefailure(OutFile& out) {
  out.discard();
  fatal<-82>(finalname);
}

void writeall(OutFile& out, const void* data, size_t size) {
  if (std::fwrite(data, 1, size, out.file()) != size) writefailure(out);
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

  // The instrument-profile file the table is made from must be there: a
  // table is never made from LINTOR taken as a line width.
  {
    std::vector<char> gname(std::strlen(lintor) + 8);
    assign(lintor, gname.data());
    makeextension(gname.data(), "ger", 1);
    // Looked for without opening it: a named pipe would wait for its writer.
    struct stat st;
    if (stat(gname.data(), &st) != 0) fatal<-107>(gname.data(), std::strerror(errno));
  }

  zeroshiftoff();

  unsigned char header[kHeaderSize];
  std::memset(header, 0, sizeof header);
  double wmin = optional("WMIN", 20);
  double wmax = optional("WMAX", 140);
  putf32(header + 16, static_cast<float>(std::sin(wmin * kPi / 360)));
  putf32(header + 20, static_cast<float>(std::sin(wmax * kPi / 360)));
  // The name field keeps at most 99 bytes and its terminating zero; a longer
  // name is cut there (it only names the instrument in messages).
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the header is zeroed
  std::memcpy(header + 24, lintor, std::min<size_t>(std::strlen(lintor), kNameField - 1));

  // The names of the table beside the profile file, of its parking place and
  // of the final table; both tables are locked from here on.
  assign(lintor, tablename);
  makeextension(tablename, "geq", 1);
  assign(lintor, parkname);
  makeextension(parkname, "get", 1);
  static char geq[kNameLen + 1];
  if (!dataerr_try([] { GetStrVar("GEQ", kNameLen, geq); })) assign(lintor, geq);
  assign(geq, finalname);
  makeextension(finalname, "geq", 1);
  // The new table replaces the old one, but it may not be a file the run
  // reads: checked before a table is locked or moved.
  static char profilename[kNameLen + 8];
  assign(lintor, profilename);
  makeextension(profilename, "ger", 1);
  runinput("LINTOR", profilename);
  runoutput(dataerr_try([] { GetStrVar("GEQ", 1 << 30, nullptr); }) ? "GEQ" : "LINTOR (its table)",
            finalname);
  lockall();

  // A table that a stopped run left moved aside goes back first; a parking
  // place beside a table in place holds nothing of value.
  if (exists(parkname)) {
    if (!exists(tablename)) {
      if (rename(parkname, tablename) != 0) fatal<-83>(parkname, tablename);
      message<87>(tablename, parkname);
    } else {
      unlink(parkname);
    }
  }

  // Park an old table, so that ger1 loads the instrument-profile file.
  if (exists(tablename)) {
    parked = 1;
    if (rename(tablename, parkname) != 0) {
      parked = 0;
      fatal<-153>(parkname);
    }
  }
  ger1(lintor);
  if (parked != 0) {
    if (rename(parkname, tablename) != 0) {
      parked = 0;
      fatal<-83>(parkname, tablename);
    }
    parked = 0;
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
  std::memcpy(header, "GEQ.", 4);  // NOLINT(bugprone-not-null-terminated-result): a magic
  header[4] = static_cast<unsigned char>(kLetter[zelmarry]);
  header[5] = iftubetails ? '2' : '1';

  // The grid: refused up front when its first step already gives too many
  // angles (WSTEP seen with zweiTheta at WMIN, as after the first record).
  newDATAlist();
  if (wmin <= wmax) {
    SetVar("zweiTheta", wmin);
    double points = (wmax - wmin) / std::fmax(std::fabs(optional("WSTEP", 0.01)), 0.01) + 1;
    if (!(points <= kMaxPoints)) fatal<-88>(wmin, wmax, kMaxPoints);
  }

  // The new table goes to a temporary file beside its final place.
  OutFile out;
  if (!out.open(finalname, true)) {
    if (notreplaceable(resolvetarget(finalname).c_str())) fatal<-82>(finalname);
    fatal<-153>(finalname);
  }
  writeall(out, header, sizeof header);

  // One record per grid angle: x = base + k step, with base and k anew when
  // the step changes, so that rounding never stops the walk.
  std::vector<unsigned char> record;
  double base = wmin, step = 0;
  long k = 0;
  int points = 0;
  for (double x = wmin; x <= wmax;) {
    if (++points > kMaxPoints) fatal<-88>(wmin, wmax, kMaxPoints);
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
    writeall(out, record.data(), record.size());
    std::printf("zweiTheta=%-7.3f N=%d\n", x, n);
    std::fflush(stdout);
    SetVar("zweiTheta", x);
    double next = std::fmax(std::fabs(optional("WSTEP", 0.01)), 0.01);
    if (next != step) {
      base = x;
      k = 0;
      step = next;
    }
    x = base + static_cast<double>(++k) * step;
  }
  DelAll();
  freeDATAlist();
  ger2();

  // Every byte must have reached the file before it replaces the table.
  if (!out.commit()) fatal<-82>(finalname);
  unlockall();

  zeroshifton();
  epilog();
}

}  // namespace quindle

int main(int argc, char** argv) { return quindle::run(argc, argv); }

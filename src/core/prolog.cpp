// The common start of every program: banner, outermost error handler,
// command-line statements, installation directory, configuration file,
// control file, and the command-line keys committed on top.
//
// A control or configuration file that exists but cannot be read (no read
// permission, a directory in its place, a read error) is remembered, so that
// no save of the run replaces it with the few keys the run knows: the
// user's keys and comments are never lost.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/infile.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"

namespace core {

char framecfgname[256];
bool framecfgunreadable = false;

namespace {

// The control file that exists but could not be read: its name and, when it
// can be looked at, its identity, so that another spelling of its path is
// recognised too.
struct Unreadable {
  std::string name;
  bool known = false;
  dev_t dev = 0;
  ino_t ino = 0;
} unreadablecontrol;

void markunreadable(const char* name) {
  unreadablecontrol.name = name;
  struct stat st;
  unreadablecontrol.known = stat(name, &st) == 0;
  if (unreadablecontrol.known) {
    unreadablecontrol.dev = st.st_dev;
    unreadablecontrol.ino = st.st_ino;
  }
}

// A failed open that means the file is there but not for us (permissions, a
// loop of links, ...), as opposed to a file that does not exist yet.
bool existsbutfailed(int err) { return err != ENOENT && err != ENOTDIR; }

constexpr const char* kModule = "mac/prolog";

void banner() {
  std::printf("Powder-diffraction evaluation suite\n");
  std::printf("(c) the suite's developers\n");
  std::printf("Version %s\n", VERSION);
  std::printf("\n");
  std::fflush(stdout);
}

// The argument with its control characters written out (\n, \r, \xHH), so
// that the message shows where they are.
std::string visible(const char* text) {
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p == '\n') {
      out += "\\n";
    } else if (*p == '\r') {
      out += "\\r";
    } else if ((*p < 32 && *p != '\t') || *p == 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", *p);
      out += hex;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out;
}

// A statement is saved as one line of the control file, and argument 1 as
// the value of SAVEFILE in the configuration file: a line feed would split
// it into two statements (the second one foreign to the user's intent), and
// any other control character (a tab aside) would hide text in the file. Such
// an argument is refused before anything is read or written.
void checkarguments(int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(argv[i]); *p != 0; ++p) {
      if ((*p < 32 && *p != '\t') || *p == 127) fatal<-85>(i, visible(argv[i]));
    }
  }
}

void executearguments(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) ergibt(argv[i]);
}

// The installation directory: the key KALVO, else the environment.
void installationdirectory() {
  if (dataerr_try([] { GetStrVar("KALVO", 8000, kalvo); })) return;
  const char* env = std::getenv("KALVO");
  if (env == nullptr) {
    std::printf("*** undefined environment KALVO\n");
    fatal_exit(200);
  }
  if (std::strlen(env) > 8000) internal_error("environment KALVO string overflow", kModule, 69);
  assign(env, kalvo);
}

// Reads a control or configuration file into the top scope. A line that is
// no statement, or whose statement fails, ends the run with message -107
// naming the file, the line and the store's reason; nothing has been written
// then.
void restorefile(FILE* f, const char* name) {
  if (dataerr_try([&] { restore(f); })) return;
  // The newest record is the line's; the one below it, when there is one,
  // the failing statement's own reason.
  std::string reason = GetErr(1) != nullptr ? GetErr(1) : "";
  const std::string line = GetErr(0) != nullptr ? GetErr(0) : "";
  NextErr();
  if (GetErr(0) != nullptr && GetErr(1) != nullptr)
    reason += std::string(" (") + GetErr(0) + ": " + GetErr(1) + ")";
  else if (!line.empty())
    reason += ": " + line;
  std::fclose(f);
  fatal<-107>(name, reason);
}

void applynice() {
  int n = 0;
  if (dataerr_try([&] { n = GetIntVar("NICE"); })) {
    if (nice(n) == -1) {
      // A priority the system refuses changes nothing; the run goes on.
    }
  }
}

}  // namespace

void prolog(int argc, char** argv, const char* cfgname, void (*constants)()) {
  fatal_signals();
  banner();
  install_outofmemory_handler();
  createmutex(&initmutex, false);
  dataerr_newhandler(dataerr_printexit);
  std::snprintf(framecfgname, sizeof framecfgname, "%s", cfgname);

  newDATAlist();
  executearguments(argc, argv);
  installationdirectory();
  // After the installation directory (it may be an argument), so that the
  // message can be read from the catalogue; nothing is written before.
  checkarguments(argc, argv, 1);
  static char dir[8002];
  if (dataerr_try([] { GetStrVar("CHDIR", 8001, dir); })) mychdir(dir);

  DATAlist* commandline = pushDATAlist();
  newDATAlist();
  if (constants != nullptr) constants();

  // Opened as it stands (not past its leading comment lines, as the data
  // files are), so that the comment before the first key is kept like every
  // other when the end routine writes the file back.
  errno = 0;
  FILE* cfg = std::fopen((std::string(kalvo) + "/" + cfgname).c_str(), "r");
  framecfgunreadable = cfg == nullptr ? existsbutfailed(errno) : std::ferror(cfg) != 0;
  if (framecfgunreadable && cfg != nullptr) {
    std::fclose(cfg);
    cfg = nullptr;
  }
  if (cfg == nullptr && argc < 2) {
    fatal<-1>(cfgname);
  }
  static char name[8008];
  name[0] = 0;
  newDATAlist();
  if (cfg != nullptr) {
    restorefile(cfg, (std::string(kalvo) + "/" + cfgname).c_str());
    framecfgunreadable = std::ferror(cfg) != 0;
    std::fclose(cfg);
    // What a failing read left is not the file: the run goes on without it.
    if (framecfgunreadable) DelAll();
  }
  if (framecfgunreadable) message<86>(cfgname);
  const std::string cfgpath = std::string(kalvo) + "/" + cfgname;
  runinput("the configuration file", cfgpath);
  runrewritten(cfgpath);
  setrekart(2);
  if (argc >= 2) SetStrVar("SAVEFILE", argv[1]);
  if (!dataerr_try([] { GetStrVar("SAVEFILE", 7996, name); })) name[0] = 0;

  newDATAlist();
  FILE* control = nullptr;
  if (name[0] != 0) {
    makeextension(name, "sav", 0);
    errno = 0;
    control = openread(name, "control file");
    if (control == nullptr && existsbutfailed(errno)) markunreadable(name);
  }
  if (control != nullptr) {
    restorefile(control, name);
    // A directory opens but cannot be read; so does a file on a failing
    // disk. Keys read before the failure are not the file either.
    bool failed = std::ferror(control) != 0;
    std::fclose(control);
    if (failed) {
      DelAll();
      markunreadable(name);
      control = nullptr;
    }
  }
  if (control == nullptr) message<1>();
  // The control file is read by the run and written back by it at the end:
  // no output of the run may be it. One that exists but could not be read
  // is an input the run was named and did not get.
  if (name[0] != 0) {
    runinput("the control file", name);
    runrewritten(name);
    if (controlunreadable(name)) inputfailed(1);
  }
  popDATAlist(commandline);
  applynice();
  DelVar("CHDIR");
  DelVar("KALVO");
  DelVar("NICE");
  freeDATAlist();
}

void prolog_reduced(int argc, char** argv) {
  fatal_signals();
  banner();
  install_outofmemory_handler();
  createmutex(&initmutex, false);
  executearguments(argc, argv);
  installationdirectory();
  checkarguments(argc, argv, 2);
  setrekart(0);
  applynice();
}

bool controlunreadable(const char* name) {
  if (unreadablecontrol.name.empty()) return false;
  if (unreadablecontrol.name == name) return true;
  struct stat st;
  return unreadablecontrol.known && stat(name, &st) == 0 && st.st_dev == unreadablecontrol.dev &&
         st.st_ino == unreadablecontrol.ino;
}

}  // namespace core

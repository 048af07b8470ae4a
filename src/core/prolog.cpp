// The common start of every program: banner, outermost error handler,
// command-line statements, installation directory, configuration file,
// control file, and the command-line keys committed on top.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"

namespace core {

char framecfgname[256];

namespace {

constexpr const char* kModule = "mac/prolog";

void banner() {
  std::printf("Powder-diffraction evaluation suite\n");
  std::printf("(c) the suite's developers\n");
  std::printf("Version %s\n", VERSION);
  std::printf("\n");
  std::fflush(stdout);
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
  banner();
  createmutex(&initmutex, false);
  dataerr_newhandler(dataerr_printexit);
  std::snprintf(framecfgname, sizeof framecfgname, "%s", cfgname);

  newDATAlist();
  executearguments(argc, argv);
  installationdirectory();
  static char dir[8002];
  if (dataerr_try([] { GetStrVar("CHDIR", 8001, dir); })) mychdir(dir);

  DATAlist* commandline = pushDATAlist();
  newDATAlist();
  if (constants != nullptr) constants();

  FILE* cfg = kalvoopen(cfgname, "r");
  if (cfg == nullptr && argc < 2) {
    fatal<-1>(cfgname);
  }
  static char name[8008];
  name[0] = 0;
  newDATAlist();
  if (cfg != nullptr) {
    restore(cfg);
    std::fclose(cfg);
  }
  setrekart(2);
  if (argc >= 2) SetStrVar("SAVEFILE", argv[1]);
  if (!dataerr_try([] { GetStrVar("SAVEFILE", 7996, name); })) name[0] = 0;

  newDATAlist();
  FILE* control = nullptr;
  if (name[0] != 0) {
    makeextension(name, "sav", 0);
    control = std::fopen(name, "r");
  }
  if (control != nullptr) {
    restore(control);
    std::fclose(control);
  } else {
    message<1>();
  }
  popDATAlist(commandline);
  applynice();
  DelVar("CHDIR");
  DelVar("KALVO");
  DelVar("NICE");
  freeDATAlist();
}

void prolog_reduced(int argc, char** argv) {
  banner();
  createmutex(&initmutex, false);
  executearguments(argc, argv);
  installationdirectory();
  setrekart(0);
  applynice();
}

}  // namespace core

// The common end of every program: the run's keys written back to the control
// file, the configuration file rewritten with SAVEFILE, the store released.
//
// Both files go through the common writer: a temporary file beside the file
// (beside a link's target), renamed over it only when every write succeeded,
// so a failing disk never destroys the control file, which is the run's input
// too. A file the start could not read, or the user may not write, is left
// as it was (messages 255 and 256). A run that could not read an input it
// was named or write an output it was asked for, the control file included,
// ends with a non-zero status (core/runfiles.hpp); the configuration file,
// which only remembers the last control file, does not count.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"

namespace core {

extern char framecfgname[256];
extern bool framecfgunreadable;

namespace {

constexpr const char* kModule = "mac/epilog";

// Writes the top scope to path through the common writer; false on any
// failure (the original is then untouched). The texts are the user's own and
// a number that is not finite is saved so that it reads back: the file is
// not read through for such numbers.
bool savesafely(const std::string& path) {
  return core::writefile(
      path.c_str(),
      [](FILE* f) {
        save(f);
        return true;
      },
      false, false);
}

}  // namespace

bool savecontrolfile(const char* name) {
  if (name == nullptr || name[0] == 0) return false;
  std::vector<char> path(std::strlen(name) + 8);
  assign(name, path.data());
  makeextension(path.data(), "sav", 0);
  if (controlunreadable(path.data())) return false;
  return savesafely(path.data());
}

void epilog() {
  setrekart(2);
  static char name[8008];
  static char savekey[80];
  if (!dataerr_try([] { GetStrVar("SAVEFILE", 7996, name); })) name[0] = 0;
  if (!dataerr_try([] { GetStrVar("SAVE", 79, savekey); })) assign("J", savekey);

  if (name[0] != 0 && savekey[0] != 'N' && savekey[0] != 'n') {
    makeextension(name, "sav", 0);
    // The control file holds the run's keys and results (the split of raze,
    // the output names of kalvo, the refined values): a save that fails is
    // an output not written.
    if (!savecontrolfile(name)) {
      message<255>(name);
      outputfailed(255);
    }
    DelAll();
    freeDATAlist();
    SetStrVar("SAVEFILE", name);
  } else {
    DelAll();
    freeDATAlist();
    DelVar("SAVEFILE");
  }
  std::string cfgpath = std::string(kalvo) + "/" + framecfgname;
  if (framecfgunreadable || !savesafely(cfgpath)) message<256>(framecfgname);
  freeDATAlist();
  freeDATAlist();
  if (ondataLevel() != 1) internal_error("ondatalevel in epilog", kModule, 76);
  dataerr_oldjmp();
  totalfree();
  runend();
}

void epilog_reduced(FILE* datafile) {
  if (datafile != nullptr) std::fclose(datafile);
  totalfree();
  fatal_exit(0);
}

}  // namespace core

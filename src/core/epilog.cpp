// The common end of every program: the run's keys written back to the control
// file, the configuration file rewritten with SAVEFILE, the store released.
//
// Both files are written to a temporary file in the same directory, checked,
// and renamed over the original only when every write succeeded, so a failing
// disk never destroys the control file, which is the run's input too.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"

namespace core {

extern char framecfgname[256];

namespace {

constexpr const char* kModule = "mac/epilog";

// Writes the top scope to path through the common writer; false on any
// failure (the original is then untouched).
bool savesafely(const std::string& path) {
  return core::writefile(path.c_str(), [](FILE* f) {
    save(f);
    return true;
  });
}

}  // namespace

void epilog() {
  setrekart(2);
  static char name[8008];
  static char savekey[80];
  if (!dataerr_try([] { GetStrVar("SAVEFILE", 7996, name); })) name[0] = 0;
  if (!dataerr_try([] { GetStrVar("SAVE", 79, savekey); })) assign("J", savekey);

  if (name[0] != 0 && savekey[0] != 'N' && savekey[0] != 'n') {
    makeextension(name, "sav", 0);
    if (!savesafely(name)) message<255>(name);
    DelAll();
    freeDATAlist();
    SetStrVar("SAVEFILE", name);
  } else {
    DelAll();
    freeDATAlist();
    DelVar("SAVEFILE");
  }
  std::string cfgpath = std::string(kalvo) + "/" + framecfgname;
  if (!savesafely(cfgpath)) message<256>(framecfgname);
  freeDATAlist();
  freeDATAlist();
  if (ondataLevel() != 1) internal_error("ondatalevel in epilog", kModule, 76);
  dataerr_oldjmp();
  totalfree();
  fatal_exit(0);
}

void epilog_reduced(FILE* datafile) {
  if (datafile != nullptr) std::fclose(datafile);
  totalfree();
  fatal_exit(0);
}

}  // namespace core

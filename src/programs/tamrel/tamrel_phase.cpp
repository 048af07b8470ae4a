// Reading the structure files STRUC[1], STRUC[2], ... into the phase list:
// per phase the defaults of the control file, the header items, the atoms
// with their elements and scattering data, and every item stored as a
// parameter record in file order, so that the crystal model can set the
// phase up from them and a writer can reproduce the file line by line.
//
// A refusal inside an atom adds message 261 with the atom number, and any
// refusal or store error while phase i is read adds message 260 with i
// before the outermost handler ends the run.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/infile.hpp"
#include "core/nspawn.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "model/modell.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"

namespace tamrel {

using namespace core;
using namespace scan;
using namespace model;
using namespace crystal;

namespace {

bool exists(const char* name) {
  return dataerr_try([&] { GetStrVar(name, INT_MAX, nullptr); });
}

char* owned(const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) outofmemory();
  return copy;
}

// The record whose ends-line mark the next item decides.
struct LastRecord {
  ParamRecord** array = nullptr;
  int index = -1;
  void mark(int newline) const {
    if (array != nullptr && index >= 0) (*array)[index].endsline = newline ? 1 : 0;
  }
};

// Stores an item as the next record of an array: GOAL=, PARAM= and GOAL:
// items by their grammar, any other with the keyword mark given.
void storeitem(ParamRecord** array, int32_t* count, LastRecord& last, const char* item,
               bool keyword) {
  ParamRecord* rec = addparam(array, count);
  last = {array, *count - 1};
  if (const char* v = std::strncmp(item, "GOAL=", 5) == 0 ? item + 5 : nullptr) {
    GrammarError e = parsegoal(v, rec);
    if (e.number != 0) {
      grammarmessage(e);
      passon();
    }
    rec->goalindex = goalzahl++;
  } else if (std::strncmp(item, "PARAM=", 6) == 0) {
    GrammarError e = parseparam(item + 6, rec);
    if (e.number != 0) {
      grammarmessage(e);
      passon();
    }
  } else if (std::strncmp(item, "GOAL:", 5) == 0) {
    rec->statement = owned(item + 5);
    rec->goaldef = 1;
  } else {
    rec->statement = owned(item);
    rec->skip = keyword ? 1 : 0;
  }
}

bool grammaritem(const char* item) {
  return std::strncmp(item, "GOAL=", 5) == 0 || std::strncmp(item, "PARAM=", 6) == 0 ||
         std::strncmp(item, "GOAL:", 5) == 0;
}

// The control file's defaults of a phase, each read only when its key exists.
void phasedefaults(HeaderState& hs) {
  PhaseRecord* phase = hs.phase;
  if (exists("ANISOLIMIT")) {
    hs.anisolimit = GetVar("ANISOLIMIT");
    hs.anisolimitgiven = true;
  }
  if (exists("ANISO4LIMIT")) {
    hs.aniso4limit = GetVar("ANISO4LIMIT");
    hs.aniso4limitgiven = true;
  }
  for (int order = 2; order <= 10; order += 2) {
    std::string key = "LIMIT" + std::to_string(order);
    if (!exists(key.c_str())) continue;
    SpharView view = spharview(phase, order);
    *view.limit = GetVar(key.c_str());
    *view.limitgiven = 1;
  }
  if (exists("BondLevel")) phase->bondlevel = GetIntVar("BondLevel");
  if (exists("Theory")) phase->theory = GetVar("Theory");
  if (exists("RP")) phase->RP = GetIntVar("RP");
}

// The default phase name: the file name behind its last "/" up to its first
// ".", blanks written as underscores.
std::string defaultname(const char* file) {
  const char* slash = std::strrchr(file, '/');
  std::string name = slash != nullptr ? slash + 1 : file;
  name = name.substr(0, name.find('.'));
  for (char& c : name)
    if (c == ' ') c = '_';
  return name;
}

// The atom's least-squares penalty rows: its temperature-factor penalty,
// each element's occupancy penalty, then the overfilled site. The workers'
// own temperature-factor slots get no row: which of them computed a line
// depends on timing, and the evaluation cycle combines them into the atom's
// one penalty, which is counted once however many threads there are.
void penaltyrows(AtomRecord* atom) {
  strafinit(&atom->penalty, 0);
  for (int e = 0; e < atom->nelements; ++e) strafinit(&atom->elements[e].penalty, 0);
  strafinit(&atom->overfill, 0);
}

// Whether a phase without atoms still has intensities: every kind of its
// reflections takes them freely (LeBail), or its header defines the
// structure factor F itself (as a simplified structure file does).
bool freeintensities(const PhaseRecord* phase) {
  bool allfree = phase->RefMult > 0;
  for (int k = 0; k < phase->RefMult; ++k) allfree = allfree && phase->lebail[k] != 0;
  if (allfree) return true;
  for (int i = 0; i < phase->nparams; ++i) {
    const char* t = phase->params[i].statement;
    if (t != nullptr && t[0] == 'F' && (t[1] == '=' || t[1] == '(' || t[1] == '[')) return true;
  }
  return false;
}

// Where the reader of a structure file stands, for the message that names
// the place of a refusal: the file, the offset just past the current item
// (-1 when no item is at fault, only the file) and the item.
struct Place {
  std::string file;
  long end = -1;
  std::string item;
};
Place place;

// The message that names the place of a refusal.
void nameplace() { crystal::nameplace(place.file.c_str(), place.end, place.item.c_str()); }

// The key of an item: its text before "=".
std::string itemkey(const char* item) {
  const char* eq = std::strchr(item, '=');
  return eq != nullptr ? std::string(item, eq) : std::string(item);
}

// One phase: its structure file read into the record. The item buffer is
// the reader's.
struct PhaseReader {
  int number;
  const char* file;
  HeaderState hs;
  LastRecord last;
  char item[kTextLen + 1];
  int newline = 0;
  // The places of the header's items by key, for the checks made once the
  // header is read (they are also kept for the set-up of the phase).
  std::map<std::string, Place> keyplaces;

  std::string key() const { return "STRUC[" + std::to_string(number) + "]"; }

  // The next item and its line-start flag; false at the end of the file,
  // which ends the line of the last record.
  bool next() {
    newline = readbufferfile(item);
    if (item[0] == 0) {
      checkread(bufferfile, file, key().c_str());
      last.mark(1);
      place.end = -1;
      return false;
    }
    last.mark(newline);
    // An item given back by the header is taken again with nothing read in
    // between: the file stands just past it either way.
    place.end = std::ftell(bufferfile);
    place.item = item;
    return true;
  }

  // The place of a header key for a check made after the header: its item,
  // or the file alone when the header has no such key.
  void placeof(const char* key) {
    auto at = keyplaces.find(key);
    if (at != keyplaces.end()) {
      place = at->second;
    } else {
      place.end = -1;
    }
  }

  void header() {
    PhaseRecord* phase = hs.phase;
    while (next()) {
      if (std::strlen(item) > 2 && atomitem(item)) {
        if (backbuffer != nullptr) internal_error("backbuffer not twice usable", kModule, __LINE__);
        backbuffer = owned(item);
        break;
      }
      bool keyword = !grammaritem(item) && headerkeyword(hs, item);
      storeitem(&phase->params, &phase->nparams, last, item, keyword);
      const std::string key = itemkey(item);
      keyplaces[key] = place;
      setphaseitem(number, key.c_str(), place.end, item);
    }
    const Place after = place;
    phasekinds(phase);
    if (phase->selector[SEL_SPACEGROUPNO][0] == 0 && phase->selector[SEL_HERMANNMAUGUIN][0] == 0) {
      place.end = -1;
      refuse<-18>();
    }
    const char* lattice = phase->selector[SEL_LATTICE];
    phase->lattice = LATTICE_ANY;
    if (lattice[0] != 0) {
      for (int k = 1; k <= 8; ++k)
        if (std::strcmp(lattice, latticename[k]) == 0) phase->lattice = k;
      if (phase->lattice == LATTICE_ANY) {
        placeof("Lattice");
        refuse<-242>();
      }
    }
    phase->name = owned(hs.name.c_str());
    if (phase->RP < 2 || phase->RP > 4) {
      placeof("RP");
      refuse<-219>(phase->name, phase->RP);
    }
    place = after;
  }

  // The atom section, under a frame that adds message 261 with the number of
  // the atom being read.
  void atoms() {
    PhaseRecord* phase = hs.phase;
    AtomRecord* atom = nullptr;
    int sets = phase->FMult > 0 ? phase->FMult : phase->RefMult;
    int level = ondataLevel();
    Place atomplace;  // the place of the current atom's first item
    // An atom without its position, named at the item that begins it.
    auto nowyckoff = [&] {
      place = atomplace;
      refuse<-145>();
    };
    bool read = dataerr_try([&] {
      if (ondataLevel() != level + 1) internal_error("ondataLevel", kModule, __LINE__);
      while (next()) {
        if (!atomitem(item)) {
          // The header hands over at an atom item: the first item here is one.
          if (atom == nullptr) internal_error("no atom before its items", kModule, __LINE__);
          bool keyword = !grammaritem(item) && atomkeyword(phase, atom, item);
          storeitem(&atom->params, &atom->nparams, last, item, keyword);
          continue;
        }
        if (atom != nullptr && atom->wyckoffname[0] == 0) nowyckoff();
        atomplace = place;
        atom = newatom(phase, atom != nullptr ? atom->number + 1 : 1,
                       hs.anisolimitgiven ? hs.anisolimit : 0.0);
        atom->weights = kcalloc<double>(static_cast<size_t>(sets));
        parseatomitem(phase, atom, item);
        penaltyrows(atom);
        storeitem(&atom->params, &atom->nparams, last, item, true);
      }
      if (atom != nullptr && atom->wyckoffname[0] == 0) nowyckoff();
    });
    if (!read) {
      message<261>(atom != nullptr ? atom->number : 0);
      passon();
    }
    if (ondataLevel() != level) internal_error("ondataLevel", kModule, __LINE__);
  }

  void read() {
    if (bufferfile != nullptr) internal_error("bufferfile twice opened", kModule, __LINE__);
    place = Place{file, -1, ""};
    setphasefile(number, file);
    bufferfile = openread(file, key().c_str());
    if (bufferfile == nullptr) refuse<-227>();
    PhaseRecord* phase = newphase(number, goalzahl);
    goalzahl += 6;
    appendphase(phase);
    hs.phase = phase;
    phasedefaults(hs);
    hs.name = defaultname(file);
    header();
    atoms();
    for (int n : hs.lebail)
      if (n >= 1 && n <= phase->RefMult) phase->lebail[n - 1] = 1;
    if (phase->atoms == nullptr && !freeintensities(phase)) refuse<-108>(file);
    std::free(backbuffer);
    backbuffer = nullptr;
    std::fclose(bufferfile);
    bufferfile = nullptr;
  }
};

bool structurefile(int i) {
  return dataerr_try([&] { GetIndexStrVar("STRUC", 1, &i, INT_MAX, nullptr); });
}

}  // namespace

void readphases() {
  static char file[kNameLen + 8];
  int i = 1;
  clearphasefiles();
  bool read = dataerr_try([&] {
    for (; structurefile(i); ++i) {
      place = Place{};
      GetIndexStrVar("STRUC", 1, &i, kNameLen, file);
      makeextension(file, "str", 0);
      PhaseReader reader{i, file, {}, {}, {}, 0, {}};
      reader.read();
    }
  });
  if (!read) {
    message<260>(i);
    // A name too long for the reader fails before there is a file to name.
    if (!place.file.empty()) nameplace();
    passon();
  }
  nphasen = i - 1;
  checklevel("ondatalevel", __LINE__);
  if (y != nullptr && nphasen > 0) {
    int n = ddmrange != nullptr ? m / 2 + 4 : m;
    yphasen = kcalloc<float>(static_cast<size_t>(nphasen) * static_cast<size_t>(n));
  }
}

}  // namespace tamrel

// The files of a refinement run, named before anything is read or written:
// the scans, the structure files and the control file are inputs, and no
// output of any data set may be one of them. A refined structure file may
// replace the structure file of its own phase (it is its refined form).
#include <climits>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "scan/apx63.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"

namespace tamrel {

using namespace core;

namespace {

// The text of key[idx...], or false when it is not defined.
bool keytext(const char* key, const std::vector<int>& idx, std::string& text) {
  std::vector<char> buf(kNameLen + 1);
  const bool defined = dataerr_try([&] {
    if (idx.empty())
      GetStrVar(key, kNameLen, buf.data());
    else
      GetIndexStrVar(key, static_cast<int>(idx.size()), idx.data(), kNameLen, buf.data());
  });
  if (defined) text = buf.data();
  return defined;
}

std::string keyname(const char* key, const std::vector<int>& idx) {
  std::string name = key;
  for (size_t k = 0; k < idx.size(); ++k)
    name += (k == 0 ? "[" : ",") + std::to_string(idx[k]) + (k + 1 == idx.size() ? "]" : "");
  return name;
}

// name with the extension ext added when it has none.
std::string extended(const std::string& name, const char* ext) {
  std::vector<char> buf(name.size() + 16);
  assign(name.c_str(), buf.data());
  makeextension(buf.data(), ext, 0);
  return buf.data();
}

// Checks the output key[idx...] (extension ext added) when it is defined.
void output(const char* key, const std::vector<int>& idx, const char* ext,
            const std::vector<std::string>& mayreplace = {}) {
  std::string name;
  if (keytext(key, idx, name)) runoutput(keyname(key, idx), extended(name, ext), mayreplace);
}

}  // namespace

void declarefiles() {
  std::string name;
  for (int k = 1; keytext("VAL", {k}, name); ++k)
    runinput(keyname("VAL", {k}), scan::scanpath(name.c_str()));
  int datasets = 0;
  for (int i = 1; keytext("STANDALONEVAL", {i}, name); ++i) {
    runinput(keyname("STANDALONEVAL", {i}), scan::scanpath(name.c_str()));
    datasets = i;
  }
  if (keytext("TubeTails", {}, name)) runinput("TubeTails", scan::scanpath(name.c_str()));
  int phases = 0;
  for (int p = 1; keytext("STRUC", {p}, name); ++p) {
    runinput(keyname("STRUC", {p}), extended(name, "str"));
    phases = p;
  }

  std::string savefile;
  keytext("SAVEFILE", {}, savefile);
  for (int d = 0; d <= datasets; ++d) {
    // Data set 0 names its files by the plain key, data set d by key[d].
    const std::vector<int> ds = d == 0 ? std::vector<int>{} : std::vector<int>{d};
    output("LIST", ds, "lst");
    output("DIAGRAMM", ds, "dia");
    if (keytext("OUTPUT", ds, name))
      runoutput(keyname("OUTPUT", ds), extended(name, "par"));
    else if (!savefile.empty())
      runoutput("OUTPUT (by default)", defaultpeakfile(savefile.c_str(), d));
    for (int p = 1; p <= phases; ++p) {
      std::vector<int> dp = ds;
      dp.push_back(p);
      output("STRUCOUT", dp, "str", {keyname("STRUC", {p})});
      output("SimpleSTRUCOUT", dp, "str");
      output("PO", dp, "po");
      output("RESOUT", dp, "res");
      output("PDBOUT", dp, "pdb");
      const char* fcf = d == 0 ? "FCFOUT" : "STANDALONEFCFOUT";
      output(fcf, dp, "fcf");
      for (int s = 1;; ++s) {
        std::vector<int> dps = dp;
        dps.push_back(s);
        if (!keytext(fcf, dps, name)) break;
        runoutput(keyname(fcf, dps), extended(name, "fcf"));
      }
    }
  }
  output("PLAN", {}, "opt");
}

}  // namespace tamrel

// ordanix: checks the space-group database "ordanix.dat" of the installation.
//
// Group by group it echoes the header line and checks every set of special
// positions against the general positions and the centring of the group: the
// general positions, applied to the first site of a special set, must reach
// every site of the set equally often (modulo a centring translation and whole
// lattice translations), and each general position must reach exactly one
// site. The first inconsistency ends the run with a numbered message whose
// number is the exit status; status 0 means every group passed.
//
// This reader is deliberately independent of the loader of the refinement
// program: it reads the file with the store's line reader and evaluates the
// coordinate formulas itself, so that a fault in the file or in either reader
// shows up as a disagreement.
//
// Usage: ordanix [ignored] [statement ...]   (KALVO names the installation)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"

namespace ordanix {
using namespace core;

namespace {

// A general point: no special position of any group passes through it.
constexpr double kTrial[3] = {2.23606797749979, 2.6457513110645907, 3.3166247903554};
// Two coordinates coincide when they differ by an integer within this.
constexpr double kTolerance = 2.220446049250313e-14;

constexpr int kNameLen = 19;     // Wyckoff names
constexpr int kFormulaLen = 49;  // coordinate formulas

struct Centring {
  int count;
  double t[4][3];
};

struct Position {
  char text[3][kFormulaLen + 1];
  double v[3];
  int32_t hits;
};

// Scratch for reads whose only purpose is to see whether a key exists.
char probe[8001];

template <int N>
void warning() {
  message<N>();
  std::fflush(stdout);
}

bool haskey(const char* key) {
  return dataerr_try([&] { GetStrVar(key, sizeof probe - 1, probe); });
}

bool haselement(int i) {
  return dataerr_try([&] { GetIndexStrVar("p", 1, &i, sizeof probe - 1, probe); });
}

// The lines of a group are read each into a scope of its own, so that keys
// of one line never answer a read for a later one.
void openline() { newDATAlist(); }
void closeline() {
  DelAll();
  freeDATAlist();
}

bool islatticename(const char* name) {
  static const char* const names[] = {"Triclinic", "Monoclinic", "Orthorhombic", "Tetragonal",
                                      "Hexagonal", "Trigonal",   "Rhombohedral", "Cubic"};
  for (const char* n : names)
    if (std::strcmp(n, name) == 0) return true;
  return false;
}

// Centring of the group whose header is in the top scope.
Centring centring() {
  char letter[2] = "";
  if (!dataerr_try([&] { GetStrVar("BASIS", 1, letter); })) {
    GetStrVar("HermannMauguin", sizeof probe - 1, probe);
    letter[0] = probe[0];
  }
  bool rhombohedral = false;
  if (haskey("Lattice")) {
    if (!islatticename(probe)) warning<248>();
    rhombohedral = std::strcmp(probe, "Rhombohedral") == 0;
  }
  // On rhombohedral axes an R group is primitive.
  if (letter[0] == 'R' && rhombohedral) letter[0] = 'P';

  const double h = 0.5, t1 = 1.0 / 3.0, t2 = 2.0 / 3.0;
  switch (letter[0]) {
    case 'P':
      return {1, {{0, 0, 0}}};
    case 'A':
      return {2, {{0, 0, 0}, {0, h, h}}};
    case 'B':
      return {2, {{0, 0, 0}, {h, 0, h}}};
    case 'C':
      return {2, {{0, 0, 0}, {h, h, 0}}};
    case 'I':
      return {2, {{0, 0, 0}, {h, h, h}}};
    case 'F':
      return {4, {{0, 0, 0}, {0, h, h}, {h, 0, h}, {h, h, 0}}};
    case 'R':
      return {3, {{0, 0, 0}, {t2, t1, t1}, {t1, t2, t2}}};
    default:
      fatal<-164>();
  }
}

// The block line in the top scope: its multiplicity and Wyckoff name.
struct Block {
  char name[kNameLen + 1];
  int n;
};

template <int NoMult, int NoName>
Block readblock() {
  Block b{};
  bool hasn = haskey("N");
  if (!hasn) fatal<NoMult>();
  if (!haskey("Wyckoff")) fatal<NoName>();
  GetStrVar("Wyckoff", kNameLen, b.name);
  b.n = GetIntVar("N");
  return b;
}

// Reads count lines of exactly three coordinate formulas. The array grows
// with the lines actually read: a multiplicity far beyond the lines of the
// file ends at the first missing line, not in one huge allocation.
template <int Fewer, int More>
std::vector<Position> readpositions(FILE* f, int count, const char* name) {
  std::vector<Position> pos;
  for (int j = 1; j <= count; ++j) {
    Position& p = pos.emplace_back();
    openline();
    GetData(f, "p");
    for (int i = 0; i < 3; ++i) {
      if (!haselement(i)) fatal<Fewer>(name, j);
      GetIndexStrVar("p", 1, &i, kFormulaLen, p.text[i]);
    }
    if (haselement(3)) fatal<More>(name, j);
    closeline();
    p.hits = 0;
  }
  return pos;
}

void evaluate(std::vector<Position>& pos) {
  for (Position& p : pos)
    for (int k = 0; k < 3; ++k) p.v[k] = Wert(p.text[k]);
}

// A coordinate that is not a finite number coincides with nothing.
bool coincide(const Position& s, const double* t, const Position& g) {
  for (int k = 0; k < 3; ++k) {
    double d = s.v[k] + t[k] - g.v[k];
    if (!(std::fabs(d - std::round(d)) <= kTolerance)) return false;
  }
  return true;
}

// Checks one special set against the general positions.
void checkspecial(std::vector<Position>& general, const Block& gb, std::vector<Position>& special,
                  const Block& sb, const Centring& c) {
  openline();
  SetVar("x", kTrial[0]);
  SetVar("y", kTrial[1]);
  SetVar("z", kTrial[2]);
  evaluate(special);
  SetVar("x", special[0].v[0]);
  SetVar("y", special[0].v[1]);
  SetVar("z", special[0].v[2]);
  evaluate(general);
  closeline();

  for (Position& s : special)
    for (Position& g : general)
      for (int t = 0; t < c.count; ++t)
        if (coincide(s, c.t[t], g)) {
          ++s.hits;
          ++g.hits;
        }

  for (size_t i = 0; i < general.size(); ++i)
    if (general[i].hits != 1) fatal<-151>(gb.name, static_cast<int>(i + 1), sb.name);
  int expected = static_cast<int>(general.size() / special.size());
  for (size_t i = 0; i < special.size(); ++i)
    if (special[i].hits != expected)
      fatal<-152>(sb.name, static_cast<int>(i + 1), special[i].hits, gb.name, expected);
  for (Position& g : general) g.hits = 0;
}

void checkgroup(FILE* f, const std::string& header) {
  openline();
  SetStrInput(header.c_str());
  GetData(nullptr, "p");
  SetStrInput(nullptr);
  Centring c = centring();
  closeline();

  openline();
  GetData(f, "p");
  Block gb = readblock<-163, -162>();
  closeline();
  // A multiplicity of 0 or below cannot be a whole number of cosets.
  if (gb.n <= 0 || gb.n % c.count != 0) fatal<-161>(gb.name);
  std::vector<Position> general = readpositions<-160, -159>(f, gb.n / c.count, gb.name);
  const Position& id = general[0];
  if (std::strcmp(id.text[0], "x") != 0 || std::strcmp(id.text[1], "y") != 0 ||
      std::strcmp(id.text[2], "z") != 0)
    fatal<-212>();

  if (std::strcmp(gb.name, "a") == 0) {
    warning<249>();
    return;
  }
  for (;;) {
    openline();
    GetData(f, "p");
    Block sb = readblock<-158, -157>();
    closeline();
    if (sb.n <= 0 || sb.n % c.count != 0 || gb.n % sb.n != 0) fatal<-156>(sb.name);
    std::vector<Position> special = readpositions<-155, -154>(f, sb.n / c.count, sb.name);
    checkspecial(general, gb, special, sb, c);
    if (std::strcmp(sb.name, "a") == 0) return;
  }
}

// The next raw line with its line feed (added when the file ends without
// one); false at the end of the file.
bool readline(FILE* f, std::string& line) {
  line.clear();
  int ch;
  while ((ch = getcharlf(f)) != EOF) {
    line += static_cast<char>(ch);
    if (ch == '\n') return true;
  }
  if (line.empty()) return false;
  line += '\n';
  return true;
}

}  // namespace

int run(int argc, char** argv) {
  prolog_reduced(argc, argv);
  FILE* f = kalvoopen("ordanix.dat", "r");
  if (f == nullptr) fatal<-165>();
  dataerr_newhandler(dataerr_printexit);
  setrekart(0);

  std::string line;
  while (readline(f, line)) {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    line.pop_back();
    checkgroup(f, line);
  }
  // A database that could not be read (a read error, or a directory in its
  // place) has not been checked: never report it as passed.
  if (std::ferror(f)) fatal<-165>();
  epilog_reduced(f);
}

}  // namespace ordanix

int main(int argc, char** argv) { return ordanix::run(argc, argv); }

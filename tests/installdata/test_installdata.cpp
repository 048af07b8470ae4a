// Reads the installation data shipped in data/ by the layout rules of each
// file and checks what the programs rely on: the space-group database's
// layout, its Wyckoff positions against the general position, its reflection
// conditions against the absences the operators imply, the group search, the
// scattering tables' coverage of every element, the wavelength files, and a
// few published spot values.  The files are parsed here on their own, so the
// test stands apart from the loaders of the suite.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string kData = KALVO_SOURCE_DATA;

// ---------------------------------------------------------------- file reading

struct TextFile {
  std::vector<std::string> comments;  // the leading "%" lines
  std::vector<std::string> lines;     // every line after them
  int first_line = 1;                 // line number of lines[0]
};

TextFile read_text(const std::string& name) {
  std::ifstream f(kData + "/" + name, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + name);
  std::stringstream ss;
  ss << f.rdbuf();
  std::string all = ss.str();
  if (all.empty() || all.back() != '\n') throw std::runtime_error(name + ": no final line feed");
  TextFile out;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == '\n') {
      lines.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  }
  size_t i = 0;
  while (i < lines.size() && !lines[i].empty() && lines[i][0] == '%')
    out.comments.push_back(lines[i++]);
  out.first_line = static_cast<int>(i) + 1;
  out.lines.assign(lines.begin() + static_cast<long>(i), lines.end());
  return out;
}

std::vector<std::string> split_items(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == ' ') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// One line of items: name=value statements and plain values.
struct ItemLine {
  std::map<std::string, std::string> keys;
  std::vector<std::string> values;
};

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

ItemLine parse_items(const std::string& line) {
  ItemLine out;
  for (const std::string& it : split_items(line)) {
    size_t n = 0;
    while (n < it.size() && is_name_char(it[n])) ++n;
    if (n > 0 && is_letter(it[0]) && n < it.size() && it[n] == '=') {
      out.keys[it.substr(0, n)] = it.substr(n + 1);
    } else {
      out.values.push_back(it);
    }
  }
  return out;
}

// ---------------------------------------------------------------- formulas
// The subset of the formula language the data files use: numbers, the
// variables x y z h k l, + - * /, brackets and the built-ins abs, mod, not,
// and, or, eq.  Negation binds tighter than * and /, as in the programs.

constexpr double kTruth = 2.220446049250313e-13;
constexpr double kEps = 2.220446049250313e-16;
constexpr double kTiny = 2.2250738585072014e-308;

struct Vars {
  double v[6] = {0, 0, 0, 0, 0, 0};  // x y z h k l
};

class Formula {
 public:
  explicit Formula(const std::string& text) : text_(text) {
    if (text.empty()) throw std::runtime_error("empty formula");
    root_ = sum();
    if (pos_ != text_.size()) throw std::runtime_error("wrong expression: " + text_);
  }
  double operator()(const Vars& vars) const { return eval(*root_, vars); }

 private:
  enum Kind { kNum, kVar, kNeg, kAdd, kSub, kMul, kDiv, kAbs, kMod, kNot, kAnd, kOr, kEq };
  struct Node {
    Kind kind;
    double value = 0;
    int var = 0;
    std::vector<std::unique_ptr<Node>> kids;
  };
  using P = std::unique_ptr<Node>;

  static P make(Kind k) {
    P n = std::make_unique<Node>();
    n->kind = k;
    return n;
  }
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  P sum() {
    P node = product();
    while (peek() == '+' || peek() == '-') {
      P n = make(peek() == '+' ? kAdd : kSub);
      ++pos_;
      n->kids.push_back(std::move(node));
      n->kids.push_back(product());
      node = std::move(n);
    }
    return node;
  }
  P product() {
    P node = unary();
    while (peek() == '*' || peek() == '/') {
      P n = make(peek() == '*' ? kMul : kDiv);
      ++pos_;
      n->kids.push_back(std::move(node));
      n->kids.push_back(unary());
      node = std::move(n);
    }
    return node;
  }
  P unary() {
    if (peek() == '+') {
      ++pos_;
      return unary();
    }
    if (peek() == '-') {
      ++pos_;
      P n = make(kNeg);
      n->kids.push_back(unary());
      return n;
    }
    if (peek() == '(') {
      ++pos_;
      P n = sum();
      if (peek() != ')') throw std::runtime_error("unbalanced brackets: " + text_);
      ++pos_;
      return n;
    }
    return operand();
  }
  P operand() {
    char c = peek();
    if (c >= '0' && c <= '9') {
      const char* start = text_.c_str() + pos_;
      char* end = nullptr;
      double v = std::strtod(start, &end);
      pos_ += static_cast<size_t>(end - start);
      P n = make(kNum);
      n->value = v;
      return n;
    }
    if (is_letter(c)) {
      size_t end = pos_;
      while (end < text_.size() && is_name_char(text_[end])) ++end;
      std::string name = text_.substr(pos_, end - pos_);
      pos_ = end;
      if (peek() != '(') {
        static const std::string vars = "xyzhkl";
        if (name.size() != 1 || vars.find(name[0]) == std::string::npos)
          throw std::runtime_error("undefined variable " + name + " in " + text_);
        P n = make(kVar);
        n->var = static_cast<int>(vars.find(name[0]));
        return n;
      }
      ++pos_;
      static const std::map<std::string, std::pair<Kind, int>> fns = {
          {"abs", {kAbs, 1}},  {"mod", {kMod, 2}}, {"not", {kNot, 1}},
          {"and", {kAnd, -1}}, {"or", {kOr, -1}},  {"eq", {kEq, -2}}};
      auto f = fns.find(name);
      if (f == fns.end()) throw std::runtime_error("unknown function " + name);
      P n = make(f->second.first);
      while (true) {
        n->kids.push_back(sum());
        if (peek() == ',') {
          ++pos_;
          continue;
        }
        if (peek() != ')') throw std::runtime_error("wrong arguments in " + text_);
        ++pos_;
        break;
      }
      int count = f->second.second;
      int got = static_cast<int>(n->kids.size());
      if ((count > 0 && got != count) || (count < 0 && got < -count))
        throw std::runtime_error(name + " with wrong argument count in " + text_);
      return n;
    }
    throw std::runtime_error("wrong character in " + text_);
  }

  double eval(const Node& n, const Vars& vars) const {
    switch (n.kind) {
      case kNum:
        return n.value;
      case kVar:
        return vars.v[n.var];
      case kNeg:
        return -eval(*n.kids[0], vars);
      case kAdd:
        return eval(*n.kids[0], vars) + eval(*n.kids[1], vars);
      case kSub:
        return eval(*n.kids[0], vars) - eval(*n.kids[1], vars);
      case kMul:
        return eval(*n.kids[0], vars) * eval(*n.kids[1], vars);
      case kDiv: {
        double d = eval(*n.kids[1], vars);
        if (d == 0.0) throw std::runtime_error("division by zero in " + text_);
        return eval(*n.kids[0], vars) / d;
      }
      case kAbs:
        return std::fabs(eval(*n.kids[0], vars));
      case kMod: {
        double b = eval(*n.kids[1], vars);
        if (std::fabs(b) < kTiny) throw std::runtime_error("mod by zero in " + text_);
        return std::fmod(eval(*n.kids[0], vars), b);
      }
      case kNot: {
        double v = eval(*n.kids[0], vars);
        if (std::isnan(v)) return 0.0;
        return std::fabs(v) < kTruth ? 1.0 : 0.0;
      }
      case kAnd: {
        double v = 0;
        for (const auto& k : n.kids) {
          v = eval(*k, vars);
          if (!(std::isnan(v) || v >= kTruth)) return 0.0;
        }
        return v;
      }
      case kOr: {
        double v = 0;
        for (const auto& k : n.kids) {
          v = eval(*k, vars);
          if (!std::isnan(v) && std::fabs(v) > kTruth) return 1.0;
        }
        return v;
      }
      case kEq: {
        double p = eval(*n.kids[0], vars);
        for (size_t i = 1; i < n.kids.size(); ++i) {
          double q = eval(*n.kids[i], vars);
          bool tiny = std::fabs(p) < kTiny && std::fabs(q) < kTiny;
          if (!(tiny || std::fabs(p - q) <= (std::fabs(p) + std::fabs(q)) * kEps || std::isnan(p) ||
                std::isnan(q)))
            return 0.0;
          p = q;
        }
        return 1.0;
      }
    }
    return 0.0;
  }

  std::string text_;
  size_t pos_ = 0;
  P root_;
};

double number(const std::string& text) { return Formula(text)(Vars{}); }

// ---------------------------------------------------------------- ordanix.dat

struct Op {
  std::array<std::string, 3> text;
  std::array<std::array<double, 4>, 3> aff{};  // per component: constant, coefficients of x y z
  std::array<double, 3> at(const std::array<double, 3>& p) const {
    std::array<double, 3> r{};
    for (int i = 0; i < 3; ++i) {
      Vars v;
      v.v[0] = p[0];
      v.v[1] = p[1];
      v.v[2] = p[2];
      r[i] = Formula(text[i])(v);
    }
    return r;
  }
};

struct Block {
  std::string name;
  int n = 0;
  std::vector<Op> ops;
};

struct Group {
  int line = 0;
  std::string header;
  std::map<std::string, std::string> keys;
  std::vector<Block> blocks;
  std::string key(const std::string& k) const {
    auto it = keys.find(k);
    return it == keys.end() ? std::string() : it->second;
  }
  bool has(const std::string& k) const { return keys.count(k) != 0; }
  char letter() const { return has("BASIS") ? key("BASIS")[0] : key("HermannMauguin")[0]; }
  // Centring of the lattice as the checker and the structure set-up use it.
  char centring() const {
    return letter() == 'R' && key("Lattice") == "Rhombohedral" ? 'P' : letter();
  }
};

const std::vector<std::string> kLattices = {"Triclinic", "Monoclinic", "Orthorhombic", "Trigonal",
                                            "Hexagonal", "Tetragonal", "Rhombohedral", "Cubic"};

std::vector<std::array<double, 3>> centring_vectors(char letter) {
  switch (letter) {
    case 'P':
      return {{0, 0, 0}};
    case 'A':
      return {{0, 0, 0}, {0, 0.5, 0.5}};
    case 'B':
      return {{0, 0, 0}, {0.5, 0, 0.5}};
    case 'C':
      return {{0, 0, 0}, {0.5, 0.5, 0}};
    case 'I':
      return {{0, 0, 0}, {0.5, 0.5, 0.5}};
    case 'F':
      return {{0, 0, 0}, {0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
    case 'R':
      return {{0, 0, 0}, {2.0 / 3, 1.0 / 3, 1.0 / 3}, {1.0 / 3, 2.0 / 3, 2.0 / 3}};
  }
  throw std::runtime_error(std::string("centring letter ") + letter);
}

// Reads the database by its layout: "%" lines, then per group a header of
// at most 198 characters, blocks "Wyckoff=<name> N=<n>" with n/divisor
// operator lines of three items of at most 31 characters, block "a" last.
std::vector<Group> read_ordanix() {
  TextFile f = read_text("ordanix.dat");
  std::vector<Group> groups;
  size_t i = 0;
  auto where = [&](size_t k) {
    return "ordanix.dat line " + std::to_string(f.first_line + static_cast<int>(k));
  };
  while (i < f.lines.size()) {
    Group g;
    g.line = f.first_line + static_cast<int>(i);
    g.header = f.lines[i];
    if (g.header.size() > 198)
      throw std::runtime_error(where(i) + ": header longer than 198 characters");
    ItemLine h = parse_items(g.header);
    if (!h.values.empty()) throw std::runtime_error(where(i) + ": header item without '='");
    g.keys = h.keys;
    if (!g.has("HermannMauguin")) throw std::runtime_error(where(i) + ": no HermannMauguin");
    int divisor = 0;
    switch (g.letter()) {
      case 'P':
        divisor = 1;
        break;
      case 'A':
      case 'B':
      case 'C':
      case 'I':
        divisor = 2;
        break;
      case 'F':
        divisor = 4;
        break;
      case 'R':
        divisor = g.key("Lattice") == "Rhombohedral" ? 1 : 3;
        break;
      default:
        throw std::runtime_error(where(i) + ": centring letter");
    }
    ++i;
    while (true) {
      if (i >= f.lines.size()) throw std::runtime_error(where(i) + ": file ends before block a");
      ItemLine b = parse_items(f.lines[i]);
      if (!b.keys.count("Wyckoff") || !b.keys.count("N") || !b.values.empty())
        throw std::runtime_error(where(i) + ": not a Wyckoff line");
      Block block;
      block.name = b.keys["Wyckoff"];
      block.n = static_cast<int>(number(b.keys["N"]));
      if (block.name.empty() || block.name.size() > 31)
        throw std::runtime_error(where(i) + ": Wyckoff name");
      if (block.n <= 0 || block.n % divisor != 0)
        throw std::runtime_error(where(i) + ": N and centring");
      ++i;
      for (int k = 0; k < block.n / divisor; ++k, ++i) {
        if (i >= f.lines.size()) throw std::runtime_error(where(i) + ": file ends inside a block");
        std::vector<std::string> it = split_items(f.lines[i]);
        if (it.size() != 3 || f.lines[i] != it[0] + " " + it[1] + " " + it[2])
          throw std::runtime_error(where(i) + ": not three items");
        Op op;
        for (int c = 0; c < 3; ++c) {
          if (it[c].size() > 31)
            throw std::runtime_error(where(i) + ": item longer than 31 characters");
          op.text[c] = it[c];
          Formula fm(it[c]);
          Vars v;
          double c0 = fm(v);
          op.aff[c][0] = c0;
          for (int j = 0; j < 3; ++j) {
            Vars u;
            u.v[j] = 1.0;
            op.aff[c][j + 1] = fm(u) - c0;
          }
        }
        block.ops.push_back(op);
      }
      bool last = block.name == "a";
      g.blocks.push_back(std::move(block));
      if (last) break;
    }
    groups.push_back(std::move(g));
  }
  return groups;
}

const std::vector<Group>& database() {
  static const std::vector<Group> groups = read_ordanix();
  return groups;
}

TEST(SpaceGroupDatabase, EveryGroupFollowsTheDatabaseLayout) {
  const auto& groups = database();
  std::set<int> numbers;
  std::set<std::string> headers;
  for (const Group& g : groups) {
    SCOPED_TRACE(g.header);
    int no = std::atoi(g.key("SpacegroupNo").c_str());
    EXPECT_EQ(g.key("SpacegroupNo"), std::to_string(no));
    numbers.insert(no);
    EXPECT_TRUE(headers.insert(g.header).second) << "the same header twice";
    EXPECT_NE(std::find(kLattices.begin(), kLattices.end(), g.key("Lattice")), kLattices.end());
    EXPECT_EQ(g.key("BASIS"), std::string(1, g.key("HermannMauguin")[0]));
    for (const char* k : {"BASIS", "UniqueAxis", "HermannMauguin", "Setting", "Lattice",
                          "SpacegroupNo", "OriginChoice", "CellChoice"})
      if (g.has(k)) {
        EXPECT_LE(g.key(k).size(), 31u) << k;
      }
    EXPECT_EQ(g.key("HermannMauguin").find(' '), std::string::npos);
    ASSERT_FALSE(g.blocks.empty());
    const Op& first = g.blocks[0].ops[0];
    EXPECT_EQ(first.text[0] + " " + first.text[1] + " " + first.text[2], "x y z");
    std::set<std::string> names;
    for (const Block& b : g.blocks) {
      EXPECT_TRUE(names.insert(b.name).second) << b.name;
      for (char c : b.name) EXPECT_TRUE(c > ' ' && c < 127) << b.name;
    }
    EXPECT_EQ(g.blocks.back().name, "a");
  }
  for (int no = 1; no <= 230; ++no) EXPECT_TRUE(numbers.count(no)) << "space group " << no;
  EXPECT_GE(groups.size(), 500u);
}

// The database checker's test: each special position's points, evaluated
// at the trial point, must be met by the general position's images of the
// first point, every image exactly once and every point N/N' times, modulo
// lattice and centring translations.
TEST(SpaceGroupDatabase, SpecialPositionsCoincideWithTheGeneralPositionAtTheTrialPoint) {
  const std::array<double, 3> trial = {std::sqrt(5.0), std::sqrt(7.0), std::sqrt(11.0)};
  const double tol = 2.220446049250313e-14;
  for (const Group& g : database()) {
    SCOPED_TRACE(g.header);
    auto centring = centring_vectors(g.centring());
    const Block& general = g.blocks[0];
    ASSERT_EQ(general.n % static_cast<int>(centring.size()), 0);
    for (size_t s = 1; s < g.blocks.size(); ++s) {
      const Block& special = g.blocks[s];
      SCOPED_TRACE("position " + special.name);
      ASSERT_EQ(special.n % static_cast<int>(centring.size()), 0);
      ASSERT_EQ(general.n % special.n, 0);
      std::vector<std::array<double, 3>> sites;
      for (const Op& op : special.ops) sites.push_back(op.at(trial));
      std::vector<std::array<double, 3>> images;
      for (const Op& op : general.ops) images.push_back(op.at(sites[0]));
      std::vector<int> hs(sites.size(), 0), hg(images.size(), 0);
      for (size_t a = 0; a < sites.size(); ++a)
        for (size_t b = 0; b < images.size(); ++b)
          for (const auto& t : centring) {
            bool hit = true;
            for (int c = 0; c < 3 && hit; ++c) {
              double d = sites[a][c] + t[c] - images[b][c];
              hit = std::fabs(d - std::round(d)) <= tol;
            }
            if (hit) {
              ++hs[a];
              ++hg[b];
            }
          }
      for (size_t b = 0; b < hg.size(); ++b) EXPECT_EQ(hg[b], 1) << "general position " << b + 1;
      for (size_t a = 0; a < hs.size(); ++a)
        EXPECT_EQ(hs[a], static_cast<int>(general.ops.size() / special.ops.size()))
            << "site " << a + 1;
    }
  }
}

bool near_integer(double v) { return std::fabs(v - std::round(v)) < 1e-9; }

// Centring test of the reflection list: by the first letter of BASIS, the
// R condition only with unique axis c; rhombohedral axes are primitive.
bool centring_allows(const Group& g, int h, int k, int l) {
  switch (g.centring()) {
    case 'I':
      return (h + k + l) % 2 == 0;
    case 'C':
      return (h + k) % 2 == 0;
    case 'B':
      return (h + l) % 2 == 0;
    case 'A':
      return (k + l) % 2 == 0;
    case 'F':
      return ((h - k) % 2 == 0) && ((k - l) % 2 == 0);
    case 'R':
      return g.key("UniqueAxis").rfind("c", 0) == 0 ? ((-h + k + l) % 3 == 0) : true;
  }
  return true;
}

// A reflection is absent when an operation (R, t), with any centring
// translation c added, fixes it (h R = h) while h.(t + c) is not an integer.
// The group's GeneralCondition, with the centring test, must keep exactly the
// reflections that are not absent.
TEST(SpaceGroupDatabase, GeneralConditionKeepsExactlyTheReflectionsTheOperatorsAllow) {
  const int lim = 8;
  for (const Group& g : database()) {
    SCOPED_TRACE(g.header);
    std::unique_ptr<Formula> cond;
    if (g.has("GeneralCondition")) {
      ASSERT_NO_THROW(cond = std::make_unique<Formula>(g.key("GeneralCondition")));
    }
    auto centring = centring_vectors(g.centring());
    for (int h = -lim; h <= lim; ++h)
      for (int k = -lim; k <= lim; ++k)
        for (int l = -lim; l <= lim; ++l) {
          if (h == 0 && k == 0 && l == 0) continue;
          const double hv[3] = {double(h), double(k), double(l)};
          bool absent = false;
          for (const Op& op : g.blocks[0].ops) {
            bool fixed = true;
            for (int j = 0; j < 3 && fixed; ++j) {
              double s = 0;
              for (int i = 0; i < 3; ++i) s += hv[i] * op.aff[i][j + 1];
              fixed = std::fabs(s - hv[j]) < 1e-9;
            }
            if (!fixed) continue;
            for (const auto& c : centring) {
              double phase = 0;
              for (int i = 0; i < 3; ++i) phase += hv[i] * (op.aff[i][0] + c[i]);
              if (!near_integer(phase)) absent = true;
            }
            if (absent) break;
          }
          bool kept = centring_allows(g, h, k, l);
          if (kept && cond) {
            Vars v;
            v.v[3] = h;
            v.v[4] = k;
            v.v[5] = l;
            kept = std::fabs((*cond)(v)) > kTruth;
          }
          ASSERT_EQ(kept, !absent) << "reflection " << h << " " << k << " " << l;
        }
  }
}

// The group search of the programs, on the header keys.
const Group* find_group(const std::vector<Group>& groups, int kind, const std::string& axis,
                        const std::map<std::string, std::string>& sel) {
  static const std::map<int, std::vector<std::string>> accepted = {
      {1, {"Triclinic"}},
      {2, {"Monoclinic", "Triclinic"}},
      {3, {"Orthorhombic", "Monoclinic", "Triclinic"}},
      {4, {"Hexagonal", "Trigonal", "Monoclinic", "Triclinic"}},
      {5, {"Hexagonal", "Trigonal", "Monoclinic", "Triclinic"}},
      {6, {"Tetragonal", "Hexagonal", "Trigonal", "Orthorhombic", "Monoclinic", "Triclinic"}},
      {7, {"Rhombohedral", "Triclinic"}}};
  auto want = [&](const char* k) {
    auto it = sel.find(k);
    return it == sel.end() ? std::string() : it->second;
  };
  for (const Group& g : groups) {
    if (!want("Lattice").empty()) {
      if (g.key("Lattice") != want("Lattice") || !g.has("Lattice")) continue;
    } else if (g.has("Lattice") && kind != 8) {
      const auto& acc = accepted.at(kind);
      if (std::find(acc.begin(), acc.end(), g.key("Lattice")) == acc.end()) continue;
    }
    if (!want("UniqueAxis").empty()) {
      if (!g.has("UniqueAxis") || g.key("UniqueAxis")[0] != want("UniqueAxis")[0]) continue;
    } else if (!axis.empty() && g.has("UniqueAxis") && g.key("UniqueAxis").substr(0, 1) != axis) {
      continue;
    }
    bool ok = true;
    for (const char* k : {"SpacegroupNo", "HermannMauguin", "Setting", "BASIS", "OriginChoice",
                          "CellChoice", "UniqueAxis"})
      if (!want(k).empty() && (!g.has(k) || g.key(k) != want(k))) ok = false;
    if (ok) return &g;
  }
  return nullptr;
}

// Metric kind and unique axis that a cell of the group's setting gives.
std::pair<int, std::string> metric_of(const Group& g) {
  static const std::map<std::string, int> kinds = {
      {"Triclinic", 1}, {"Monoclinic", 2}, {"Orthorhombic", 3}, {"Trigonal", 4},
      {"Hexagonal", 5}, {"Tetragonal", 6}, {"Rhombohedral", 7}, {"Cubic", 8}};
  int kind = kinds.at(g.key("Lattice"));
  if (kind == 2) return {kind, g.key("UniqueAxis")};
  if (kind == 4 || kind == 5 || kind == 6) return {kind, "c"};
  return {kind, ""};
}

TEST(SpaceGroupDatabase, EverySettingIsFoundFirstByItsOwnKeys) {
  const auto& groups = database();
  for (const Group& g : groups) {
    SCOPED_TRACE(g.header);
    auto [kind, axis] = metric_of(g);
    std::map<std::string, std::string> own;
    for (const char* k : {"BASIS", "UniqueAxis", "HermannMauguin", "Setting", "Lattice",
                          "SpacegroupNo", "OriginChoice", "CellChoice"})
      if (g.has(k)) own[k] = g.key(k);
    EXPECT_EQ(find_group(groups, kind, axis, own), &g);
    // The symbol alone, with the metric of the setting, names the group.
    const Group* by_symbol =
        find_group(groups, kind, axis, {{"HermannMauguin", g.key("HermannMauguin")}});
    ASSERT_NE(by_symbol, nullptr);
    EXPECT_EQ(by_symbol->key("SpacegroupNo"), g.key("SpacegroupNo"));
  }
}

// What a user gets without selectors: the symbol or the number with the
// metric of the cell.
TEST(SpaceGroupDatabase, DefaultSettingsOfCommonGroups) {
  struct Case {
    const char* symbol;
    int kind;
    const char* axis;
    int number;
    int multiplicity;
    std::map<std::string, std::string> expect;
  };
  const std::vector<Case> cases = {
      {"P-1", 1, "", 2, 2, {{"Lattice", "Triclinic"}}},
      {"P21/c", 2, "b", 14, 4, {{"UniqueAxis", "b"}, {"CellChoice", "1"}}},
      {"P21/c", 2, "a", 14, 4, {{"UniqueAxis", "a"}}},
      {"C2/c", 2, "b", 15, 8, {{"UniqueAxis", "b"}, {"CellChoice", "1"}}},
      {"Pnma", 3, "", 62, 8, {{"Setting", "abc"}}},
      {"Pbnm", 3, "", 62, 8, {{"Setting", "cab"}}},
      {"P42/mnm", 6, "c", 136, 16, {}},
      {"I41/amd", 6, "c", 141, 32, {{"OriginChoice", "2"}}},
      {"R-3c", 4, "c", 167, 36, {{"Lattice", "Trigonal"}, {"UniqueAxis", "c"}}},
      {"R-3c", 7, "", 167, 12, {{"Lattice", "Rhombohedral"}}},
      {"P63/mmc", 5, "c", 194, 24, {}},
      {"Fm-3m", 8, "", 225, 192, {}},
      {"Fd-3m", 8, "", 227, 192, {{"OriginChoice", "2"}}},
      {"Ia-3d", 8, "", 230, 96, {}},
  };
  const auto& groups = database();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.symbol);
    for (const auto& sel :
         {std::map<std::string, std::string>{{"HermannMauguin", c.symbol}},
          std::map<std::string, std::string>{{"SpacegroupNo", std::to_string(c.number)}}}) {
      if (sel.count("SpacegroupNo") && std::string(c.symbol) == "Pbnm") continue;
      if (sel.count("SpacegroupNo") && std::string(c.axis) == "a") continue;
      const Group* g = find_group(groups, c.kind, c.axis, sel);
      ASSERT_NE(g, nullptr);
      EXPECT_EQ(g->key("SpacegroupNo"), std::to_string(c.number));
      EXPECT_EQ(g->blocks[0].n, c.multiplicity);
      for (const auto& [k, v] : c.expect) EXPECT_EQ(g->key(k), v) << k;
    }
  }
}

// ---------------------------------------------------------------- scattering data

std::string element_of(const std::string& name) {
  if (name.empty() || !is_letter(name[0])) return "";
  if (name.size() > 1 && is_letter(name[1])) return name.substr(0, 2);
  return name.substr(0, 1);
}

struct Entry {
  std::vector<double> values;
  std::map<std::string, std::string> keys;
};

// A table file: per line a name of at most `width` characters and `count`
// numbers, statements allowed only for the given keys.
std::map<std::string, Entry> read_table(const std::string& file, size_t width, size_t count,
                                        const std::set<std::string>& keys = {}) {
  TextFile f = read_text(file);
  for (const auto& c : f.comments) EXPECT_LT(c.size(), 999u) << file << ": comment line too long";
  std::map<std::string, Entry> out;
  for (size_t i = 0; i < f.lines.size(); ++i) {
    std::string where = file + " line " + std::to_string(f.first_line + static_cast<int>(i));
    ItemLine it = parse_items(f.lines[i]);
    if (it.values.empty()) throw std::runtime_error(where + ": empty line");
    const std::string& name = it.values[0];
    if (name.size() > width) throw std::runtime_error(where + ": name too long");
    if (it.values.size() != count + 1) throw std::runtime_error(where + ": wrong number of values");
    for (const auto& [k, v] : it.keys)
      if (!keys.count(k)) throw std::runtime_error(where + ": statement " + k);
    Entry e;
    for (size_t j = 1; j < it.values.size(); ++j) e.values.push_back(number(it.values[j]));
    for (const auto& [k, v] : it.keys) number(v);
    e.keys = it.keys;
    if (!out.emplace(name, e).second) throw std::runtime_error(where + ": " + name + " twice");
  }
  return out;
}

const char* const kRadiations[] = {"cu", "co", "cr", "fe", "mn", "ni", "mo", "ag"};

TEST(ScatteringData, EveryElementHasWeightDispersionAndAttenuation) {
  auto afa = read_table("afaparm.dat", 4, 9);
  auto bcoh = read_table("bcoh.dat", 5, 1, {"IM"});
  auto weight = read_table("weight.mol", 2, 1);
  std::set<std::string> elements;
  for (const auto& [name, e] : afa) {
    std::string el = element_of(name);
    ASSERT_FALSE(el.empty()) << name;
    // Digits right after the element would be read as a mass number and the
    // entry could never be found.
    ASSERT_FALSE(name.size() > el.size() &&
                 std::isdigit(static_cast<unsigned char>(name[el.size()])))
        << name;
    elements.insert(el);
  }
  for (const auto& [name, e] : bcoh) elements.insert(element_of(name));
  for (const std::string& el : elements) EXPECT_TRUE(weight.count(el)) << "weight.mol: " << el;
  for (const char* r : kRadiations) {
    SCOPED_TRACE(r);
    auto ano = read_table(std::string(r) + ".ano", 2, 2);
    auto mdr = read_table(std::string(r) + ".mdr", 2, 1);
    for (const std::string& el : elements) {
      ASSERT_TRUE(ano.count(el)) << el;
      ASSERT_TRUE(mdr.count(el)) << el;
      EXPECT_GE(ano[el].values[1], 0.0) << "f'' of " << el << " must be positive";
      EXPECT_GT(mdr[el].values[0], 0.0) << el;
    }
    // Deuterium attenuates as hydrogen per atom, so per gram by the mass ratio less.
    double ratio = weight.at("H").values[0] / weight.at("D").values[0];
    EXPECT_NEAR(mdr.at("D").values[0], mdr.at("H").values[0] * ratio, 1e-4 * mdr.at("D").values[0]);
    EXPECT_EQ(ano.at("D").values, ano.at("H").values);
  }
}

TEST(ScatteringData, PublishedSpotValues) {
  auto afa = read_table("afaparm.dat", 4, 9);
  const auto& si = afa.at("Si").values;
  EXPECT_NEAR(si[0] + si[2] + si[4] + si[6] + si[8], 14.0, 0.01);  // f(0) = Z
  const auto& fe3 = afa.at("Fe+3").values;
  EXPECT_NEAR(fe3[0] + fe3[2] + fe3[4] + fe3[6] + fe3[8], 23.0, 0.02);
  EXPECT_TRUE(afa.count("O-2"));
  EXPECT_EQ(afa.at("D").values, afa.at("H").values);

  auto bcoh = read_table("bcoh.dat", 5, 1, {"IM"});
  EXPECT_DOUBLE_EQ(bcoh.at("Si").values[0], 4.1491);
  EXPECT_DOUBLE_EQ(bcoh.at("H").values[0], -3.739);
  EXPECT_DOUBLE_EQ(bcoh.at("D").values[0], 6.671);
  EXPECT_GT(number(bcoh.at("Gd").keys.at("IM")), 10.0);  // strong absorber, positive b''

  auto weight = read_table("weight.mol", 2, 1);
  EXPECT_DOUBLE_EQ(weight.at("Pb").values[0], 207.2);
  EXPECT_NEAR(weight.at("D").values[0], 2.014, 0.001);

  auto ano = read_table("cu.ano", 2, 2);
  EXPECT_NEAR(ano.at("Fe").values[0], -1.18, 0.05);  // f' of Fe at Cu K-alpha
  EXPECT_NEAR(ano.at("Fe").values[1], 3.20, 0.05);   // f''
}

// ---------------------------------------------------------------- wavelength files

struct Lines {
  std::vector<std::array<double, 3>> lines;
  double l0 = 0;
};

Lines read_lam(const std::string& file) {
  TextFile f = read_text(file);
  if (f.lines.empty()) throw std::runtime_error(file + ": empty");
  ItemLine first = parse_items(f.lines[0]);
  if (!first.keys.count("ILAM")) throw std::runtime_error(file + ": no ILAM");
  int n = static_cast<int>(number(first.keys["ILAM"]));
  if (static_cast<int>(f.lines.size()) != n + 1)
    throw std::runtime_error(file + ": ILAM and lines differ");
  Lines out;
  float isum = 0.0f;
  double lsum = 0.0;
  for (int k = 1; k <= n; ++k) {
    ItemLine it = parse_items(f.lines[static_cast<size_t>(k)]);
    if (it.values.size() != 3 || !it.keys.empty())
      throw std::runtime_error(file + ": line of a spectral line");
    std::array<double, 3> v = {number(it.values[0]), number(it.values[1]), number(it.values[2])};
    out.lines.push_back(v);
    isum = static_cast<float>(isum + v[0]);
    lsum += v[0] * v[1];
  }
  out.l0 = lsum / isum;
  return out;
}

TEST(WavelengthFiles, MeanWavelengthsOfTheTubeRadiations) {
  // K-alpha mean wavelengths in nm (alpha1 and alpha2 weighted 2:1).
  const std::map<std::string, double> expected = {{"cu", 0.15418}, {"co", 0.17903}, {"cr", 0.22910},
                                                  {"fe", 0.19373}, {"mn", 0.21031}, {"ni", 0.16591},
                                                  {"mo", 0.07107}, {"ag", 0.05609}};
  for (const auto& [r, wl] : expected) {
    SCOPED_TRACE(r);
    Lines lam = read_lam(r + ".lam");
    ASSERT_GE(lam.lines.size(), 2u);
    for (const auto& l : lam.lines) {
      EXPECT_GT(l[0], 0.0);
      EXPECT_GT(l[2], 0.0);
      EXPECT_LT(l[2], 0.01 * l[1]);
    }
    EXPECT_NEAR(1.0 / lam.l0, wl, 0.0002);
  }
  Lines cu = read_lam("cu.lam");
  EXPECT_NEAR(cu.lines[0][1], 6.4910, 0.00005);  // Cu K-alpha1, 1/0.154059 nm
}

TEST(InstallationData, NoFileNameBeginsWithADigit) {
  // A radiation given as a number (a wavelength) must not find a file.
  for (const auto& e : std::filesystem::directory_iterator(kData)) {
    std::string name = e.path().filename().string();
    EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(name[0]))) << name;
  }
}

}  // namespace

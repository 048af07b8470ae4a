// Keeps the user's manual true to the programs:
// - every key name the sources read (a static scan of the calls that read a
//   key with a literal name) is documented in docs/keys.md;
// - every function of the formula language is documented in docs/keys.md;
// - every message number of data/err.msg is documented in docs/messages.md,
//   and messages.md documents no number the catalogue lacks;
// - the one-line comments of the shipped configuration files survive the
//   rewrite a program makes of its configuration file at the end of a run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;

const std::string kTree = KALVO_SOURCE_TREE;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The source without its comments; string and character literals are kept.
std::string without_comments(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    if (s.compare(i, 2, "//") == 0) {
      size_t j = s.find('\n', i);
      i = j == std::string::npos ? n : j;
    } else if (s.compare(i, 2, "/*") == 0) {
      size_t j = s.find("*/", i + 2);
      i = j == std::string::npos ? n : j + 2;
    } else if (s[i] == '"' || s[i] == '\'') {
      const char q = s[i];
      size_t j = i + 1;
      while (j < n && s[j] != q) j += s[j] == '\\' ? 2 : 1;
      out.append(s, i, std::min(j + 1, n) - i);
      i = j + 1;
    } else {
      out += s[i++];
    }
  }
  return out;
}

// The string literals of a piece of source, unescaped only as far as a key
// name needs (a key name has no escapes).
std::vector<std::string> literals(const std::string& s) {
  std::vector<std::string> v;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\'') {  // skip a character literal ('"' included)
      size_t j = i + 1;
      while (j < s.size() && s[j] != '\'') j += s[j] == '\\' ? 2 : 1;
      i = j;
      continue;
    }
    if (s[i] != '"') continue;
    size_t j = i + 1;
    while (j < s.size() && s[j] != '"') j += s[j] == '\\' ? 2 : 1;
    v.push_back(s.substr(i + 1, j - i - 1));
    i = j;
  }
  return v;
}

bool isletter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isnamechar(char c) { return isletter(c) || (c >= '0' && c <= '9'); }

// The name a literal begins with (a letter, then letters and digits), or "".
std::string leadingname(const std::string& lit) {
  if (lit.empty() || !isletter(lit[0])) return "";
  size_t j = 1;
  while (j < lit.size() && isnamechar(lit[j])) ++j;
  return lit.substr(0, j);
}

// Every name of a formula text.
std::vector<std::string> formulanames(const std::string& text) {
  std::vector<std::string> v;
  for (size_t i = 0; i < text.size();) {
    if (isletter(text[i]) && (i == 0 || !isnamechar(text[i - 1]))) {
      size_t j = i;
      while (j < text.size() && isnamechar(text[j])) ++j;
      v.push_back(text.substr(i, j - i));
      i = j;
    } else {
      ++i;
    }
  }
  return v;
}

// The functions that read a key by the name given as their first argument:
// the store's readers and the small helpers of each module around them
// (optional keys with a default, yes/no flags, indexed keys, ...). A helper
// that reads keys and is added to a module belongs here, so that the keys it
// reads are checked.
const std::set<std::string> kReaders = {
    // the store
    "GetVar", "GetIntVar", "GetStrVar", "GetIndexVar", "GetIndexIntVar", "GetIndexStrVar", "Wert",
    // helpers of the modules
    "optional", "nonzero", "ratio", "has", "valueor", "optionalplainorindex", "plainorindex", "yes",
    "textkey", "indexedtext", "numberkey", "indexednumber", "haskey", "defined", "readmask",
    "number", "indexnumber", "text", "indextext", "decoded", "firstin", "yeskey", "indexexists",
    "readdataset", "exists", "readvalue", "firstof", "takekey", "optionalkey", "ifndeforeq",
    "readtds", "anisoorzero", "radiationkey", "correction", "outputname", "eachphase", "radius",
    "indexed", "read", "phasevalue"};

// Literals that stand in a reader's arguments but name no key: letter sets
// of a yes/no test.
const std::set<std::string> kNotKeys = {"YyJj", "Nn"};

using KeyMap = std::map<std::string, std::set<std::string>>;  // key -> sources

void scanfile(const std::string& rel, const std::string& src, KeyMap& keys) {
  auto add = [&](const std::string& name) {
    if (!name.empty() && kNotKeys.count(name) == 0) keys[name].insert(rel);
  };
  // Calls of a reader with a literal among its arguments: every literal of
  // the argument list (firstof names several keys, phasevalue takes the key
  // second).
  static const std::regex call(R"(\b([A-Za-z_][A-Za-z0-9_]*)\s*\()");
  for (auto it = std::sregex_iterator(src.begin(), src.end(), call); it != std::sregex_iterator();
       ++it) {
    const std::string fn = (*it)[1];
    if (kReaders.count(fn) == 0) continue;
    size_t j = static_cast<size_t>(it->position(0)) + static_cast<size_t>(it->length(0));
    const size_t start = j;
    int depth = 1;
    for (; j < src.size() && depth > 0; ++j) {
      if (src[j] == '"' || src[j] == '\'') {
        const char q = src[j];
        ++j;
        while (j < src.size() && src[j] != q) j += src[j] == '\\' ? 2 : 1;
      } else if (src[j] == '(') {
        ++depth;
      } else if (src[j] == ')') {
        --depth;
      }
    }
    for (const std::string& lit : literals(src.substr(start, j - start))) {
      if (fn == "Wert") {
        for (const std::string& name : formulanames(lit)) add(name);
      } else {
        add(leadingname(lit));
      }
    }
  }
  // The keywords of a structure-file item: after(item, "KEY=").
  static const std::regex keyword(R"rx(\bafter\(\s*\w+\s*,\s*\(?"([A-Za-z][A-Za-z0-9]*))rx");
  for (auto it = std::sregex_iterator(src.begin(), src.end(), keyword);
       it != std::sregex_iterator(); ++it)
    add((*it)[1]);
  // Tables of key names: const char* arrays named ...keys/...names.
  static const std::regex table(
      R"(char\s*\*[^=;(]*\b\w*(?:[Kk]eys|[Nn]ames)\w*\s*(?:\[[^\]]*\])*\s*=\s*\{([^}]*)\})");
  for (auto it = std::sregex_iterator(src.begin(), src.end(), table); it != std::sregex_iterator();
       ++it)
    for (const std::string& lit : literals((*it)[1])) add(leadingname(lit));
  // Per-reflection forms ("B1[iref]") and names built with a number
  // ("LIMIT" + order).
  static const std::regex perref(R"rx("([A-Za-z][A-Za-z0-9]*)\[iref\]")rx");
  for (auto it = std::sregex_iterator(src.begin(), src.end(), perref); it != std::sregex_iterator();
       ++it)
    add((*it)[1]);
  static const std::regex numbered(R"rx("([A-Za-z][A-Za-z0-9]*)"\s*\+\s*std::to_string)rx");
  for (auto it = std::sregex_iterator(src.begin(), src.end(), numbered);
       it != std::sregex_iterator(); ++it)
    add((*it)[1]);
}

KeyMap keys_read_by_the_sources() {
  KeyMap keys;
  for (const auto& e : fs::recursive_directory_iterator(kTree + "/src")) {
    const std::string ext = e.path().extension().string();
    if (!e.is_regular_file() || (ext != ".cpp" && ext != ".hpp")) continue;
    const std::string rel = fs::relative(e.path(), kTree).string();
    scanfile(rel, without_comments(slurp(e.path())), keys);
  }
  return keys;
}

// A key is documented when keys.md shows it in code type: "`NAME" followed
// by a character that cannot continue a name ("`VAL[k]`", "`LIMIT<n>`").
bool documented(const std::string& doc, const std::string& key) {
  const std::string probe = "`" + key;
  for (size_t at = doc.find(probe); at != std::string::npos; at = doc.find(probe, at + 1)) {
    const size_t after = at + probe.size();
    if (after < doc.size() && !isnamechar(doc[after])) return true;
  }
  return false;
}

TEST(Manual, ScanFindsTheKeysOfEveryKindOfRead) {
  KeyMap keys;
  scanfile("probe.cpp", without_comments(R"src(
    // GetVar("COMMENTED") is no read
    dataerr_try([&] { x = GetVar("PLAIN"); });
    GetIndexStrVar("INDEXED", 1, &i, 80, buf);
    v = Wert("WMIN2[STARTINDEX]*2");
    firstof("FIRST", "SECOND");
    if ((v = after(item, "KEYWORD=")) != nullptr) {}
    const char* const kHeaderKeys[] = {"TABLED", "ALSO"};
    constexpr Quantity kQ = {"PERREF[iref]", "PERREF"};
    std::string key = "NUMBERED" + std::to_string(order);
    firstin("FLAG", "YyJj");
    ph->density = phasevalue(ph, "SECONDARG", ph->densities);
    exists(name);
    std::fprintf(f, "NOTREAD=%d\n", 1);
  )src"),
           keys);
  std::set<std::string> names;
  for (const auto& [name, where] : keys) names.insert(name);
  const std::set<std::string> expected = {"PLAIN",    "INDEXED", "WMIN2",    "STARTINDEX", "FIRST",
                                          "SECOND",   "KEYWORD", "TABLED",   "ALSO",       "PERREF",
                                          "NUMBERED", "FLAG",    "SECONDARG"};
  EXPECT_EQ(names, expected);
}

TEST(Manual, EveryKeyTheProgramsReadIsInKeysMd) {
  const KeyMap keys = keys_read_by_the_sources();
  ASSERT_GT(keys.size(), 100u) << "the scan of src/ found too few keys: is the tree there?";
  const std::string doc = slurp(kTree + "/docs/keys.md");
  ASSERT_FALSE(doc.empty()) << "docs/keys.md is missing or empty";
  std::string missing;
  int count = 0;
  for (const auto& [name, where] : keys) {
    if (documented(doc, name)) continue;
    ++count;
    missing += "  " + name + "  (read in";
    for (const std::string& w : where) missing += " " + w;
    missing += ")\n";
  }
  EXPECT_EQ(count, 0) << count
                      << " key(s) read by the programs are not in docs/keys.md (write each one "
                         "there in code type, `NAME`, with its meaning, unit, default and "
                         "program):\n"
                      << missing;
}

// The functions the formula language offers: the built-ins of the store
// (stdinit1(fn, "name", n) and the table of one-argument functions) and the
// functions the refinement registers ({"name", n, fn} tables).
std::set<std::string> formula_functions() {
  std::set<std::string> names;
  static const std::regex builtin(R"rx(\bstdinit1\(\s*\w+\s*,\s*"([A-Za-z][A-Za-z0-9]*)")rx");
  static const std::regex mathtable(R"rx(\{"([A-Za-z][A-Za-z0-9]*)",\s*\[\])rx");
  static const std::regex registered(R"rx(\{"([A-Za-z][A-Za-z0-9]*)",\s*-?[0-9]+,\s*\w+\})rx");
  for (const auto& e : fs::recursive_directory_iterator(kTree + "/src")) {
    if (!e.is_regular_file() || e.path().extension() != ".cpp") continue;
    const std::string src = without_comments(slurp(e.path()));
    for (const std::regex* re : {&builtin, &mathtable, &registered})
      for (auto it = std::sregex_iterator(src.begin(), src.end(), *re);
           it != std::sregex_iterator(); ++it)
        names.insert((*it)[1]);
  }
  return names;
}

TEST(Manual, EveryFormulaFunctionIsInKeysMd) {
  const std::set<std::string> functions = formula_functions();
  ASSERT_GT(functions.size(), 50u) << "the scan of src/ found too few formula functions";
  const std::string doc = slurp(kTree + "/docs/keys.md");
  std::string missing;
  for (const std::string& f : functions)
    if (doc.find("`" + f + "(") == std::string::npos) missing += " " + f;
  EXPECT_TRUE(missing.empty())
      << "formula functions not in docs/keys.md (write each as `name(arguments)` with what it "
         "gives):"
      << missing;
}

// The numbers of the catalogue, as written there ("-44", "1").
std::set<int> catalogue_numbers() {
  std::set<int> numbers;
  std::istringstream in(slurp(kTree + "/data/err.msg"));
  static const std::regex line(R"(^([+-]?[0-9]+) )");
  std::string l;
  std::smatch m;
  while (std::getline(in, l))
    if (std::regex_search(l, m, line)) numbers.insert(std::stoi(m[1]));
  return numbers;
}

// The numbers messages.md documents: the first cell of a table row,
// "| -44 |" or "| +1 |".
std::set<int> documented_numbers() {
  std::set<int> numbers;
  std::istringstream in(slurp(kTree + "/docs/messages.md"));
  static const std::regex row(R"(^\|\s*([+-]?[0-9]+)\s*\|)");
  std::string l;
  std::smatch m;
  while (std::getline(in, l))
    if (std::regex_search(l, m, row)) numbers.insert(std::stoi(m[1]));
  return numbers;
}

TEST(Manual, EveryCatalogueMessageIsInMessagesMd) {
  const std::set<int> catalogue = catalogue_numbers();
  ASSERT_GT(catalogue.size(), 100u) << "data/err.msg is missing or was not read";
  const std::set<int> doc = documented_numbers();
  std::string missing, stale;
  for (int n : catalogue)
    if (doc.count(n) == 0) missing += " " + std::string(n > 0 ? "+" : "") + std::to_string(n);
  for (int n : doc)
    if (catalogue.count(n) == 0) stale += " " + std::string(n > 0 ? "+" : "") + std::to_string(n);
  EXPECT_TRUE(missing.empty())
      << "message numbers of data/err.msg not in docs/messages.md (add a table row "
         "\"| <number> | <kind> | <message> | <what it means and what to do> |\" under its "
         "program):"
      << missing;
  EXPECT_TRUE(stale.empty()) << "docs/messages.md documents numbers data/err.msg lacks:" << stale;
}

// The comment lines of a control or configuration file, in order.
std::vector<std::string> comments(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l))
    if (!l.empty() && l[0] == '%') v.push_back(l);
  return v;
}

// A program reads its configuration file and writes it back at the end of
// the run; a comment line is kept only as the one line before the key that
// follows it. Each shipped configuration file therefore describes every key
// in one comment line right above it, and none of them is lost when a
// program rewrites the file. The start and end routine is the same in every
// program: each file is given to probast, the quickest to run, as its own.
TEST(Manual, ConfigurationCommentsSurviveTheRewrite) {
  int files = 0;
  for (const auto& e : fs::directory_iterator(kTree + "/data")) {
    if (e.path().extension() != ".cfg") continue;
    ++files;
    const std::string name = e.path().filename().string();
    SCOPED_TRACE(name);
    const std::string original = slurp(e.path());
    ktest::TempInstall install({"err.msg"});
    ktest::TempDir work;
    ktest::write_file(install.file("probast.cfg"), original);
    ktest::write_file(work.file("look.sav"), "LINTOR=0.001\n");
    const ktest::RunResult r =
        ktest::run_program(ktest::program_path("probast"), {"look", "zweiTheta==40"}, work.path(),
                           {{"KALVO", install.path()}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string written = ktest::read_file(install.file("probast.cfg"));
    const std::vector<std::string> before = comments(original), after = comments(written);
    EXPECT_FALSE(before.empty()) << name << " describes none of its keys";
    EXPECT_EQ(after, before) << name << ": comment lines lost by the rewrite; written back:\n"
                             << written;
  }
  EXPECT_GT(files, 0);
}

}  // namespace

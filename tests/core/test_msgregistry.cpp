// Every message number a module prints must be in the shipped catalogue, and
// its text must take exactly the printf arguments the caller passes: a missing
// message ends a run with a strange status, a wrong conversion is undefined.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace core {

namespace {

struct Registered {
  int number;
  const char* kinds;
  const char* file;
};

#define MSG(n, kinds) {n, kinds, __FILE__},
const Registered registry[] = {
#include "msgs_all.inc"
    {0, nullptr, nullptr}};
#undef MSG

// The conversion letters of a printf format: d for integers, f for floating
// point, s for texts, c for a character; "%%" is no conversion.
std::string conversions(const std::string& text, std::string* problem) {
  std::string kinds;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    size_t j = i + 1;
    if (j < text.size() && text[j] == '%') {
      i = j;
      continue;
    }
    while (j < text.size() && std::string("-+ #0").find(text[j]) != std::string::npos) ++j;
    while (j < text.size() && (isdigit(static_cast<unsigned char>(text[j])) || text[j] == '.')) ++j;
    if (j < text.size() && text[j] == '*') {
      *problem = "'*' width in: " + text;
      return kinds;
    }
    while (j < text.size() && std::string("hlLqjzt").find(text[j]) != std::string::npos) ++j;
    if (j >= text.size()) {
      *problem = "dangling % in: " + text;
      return kinds;
    }
    char c = text[j];
    if (std::string("diouxX").find(c) != std::string::npos)
      kinds += 'd';
    else if (std::string("eEfFgGaA").find(c) != std::string::npos)
      kinds += 'f';
    else if (c == 's')
      kinds += 's';
    else if (c == 'c')
      kinds += 'c';
    else
      *problem = std::string("unknown conversion %") + c + " in: " + text;
    i = j;
  }
  return kinds;
}

std::map<int, std::string> shipped_catalogue() {
  std::map<int, std::string> cat;
  std::ifstream f(std::string(KALVO_SOURCE_DATA) + "/err.msg");
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '%') continue;
    size_t pos = 0;
    int n = std::stoi(line, &pos);
    cat[n] = pos < line.size() ? line.substr(pos + 1) : "";
  }
  return cat;
}

}  // namespace

TEST(MessageRegistry, EveryRegisteredMessageIsShippedWithMatchingConversions) {
  auto cat = shipped_catalogue();
  for (const Registered* r = registry; r->kinds != nullptr; ++r) {
    auto it = cat.find(r->number);
    if (it == cat.end()) {
      ADD_FAILURE() << "message " << r->number << " (" << r->file << ") is not in err.msg";
      continue;
    }
    std::string problem;
    std::string kinds = conversions(it->second, &problem);
    EXPECT_EQ(problem, "") << "message " << r->number;
    EXPECT_EQ(kinds, r->kinds) << "message " << r->number << " (" << r->file << "): " << it->second;
  }
}

TEST(MessageRegistry, EveryShippedLineIsReadable) {
  std::ifstream f(std::string(KALVO_SOURCE_DATA) + "/err.msg");
  std::string line;
  int lineno = 0;
  while (std::getline(f, line)) {
    ++lineno;
    if (!line.empty() && line[0] == '%') continue;
    EXPECT_LE(line.size(), 498u) << "line " << lineno;
    size_t pos = 0;
    int n = 0;
    EXPECT_NO_THROW(n = std::stoi(line, &pos)) << "line " << lineno;
    EXPECT_TRUE(pos < line.size() && line[pos] == ' ') << "line " << lineno;
    std::string problem;
    conversions(pos < line.size() ? line.substr(pos) : "", &problem);
    EXPECT_EQ(problem, "") << "line " << lineno << " message " << n;
  }
}

}  // namespace core

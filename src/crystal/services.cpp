// Structure-file items, the time of day and the text of symmetry operators.
#include "crystal/services.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"

namespace crystal {
using namespace core;

FILE* bufferfile = nullptr;
char* backbuffer = nullptr;
int newline = 0;

namespace {

// Skips the rest of the current line, its line feed included.
void skipline(FILE* f) {
  int ch;
  while ((ch = std::getc(f)) != EOF && ch != '\n') {
  }
}

// Drops the carriage return of a CRLF line end from an item that reaches it.
void dropcarriagereturn(FILE* f, char* item) {
  size_t n = std::strlen(item);
  if (n == 0 || item[n - 1] != '\r') return;
  int ch = std::getc(f);
  if (ch != EOF) std::ungetc(ch, f);
  if (ch == '\n' || ch == EOF) item[n - 1] = 0;
}

std::string upper(const std::string& s) {
  std::string u = s;
  for (char& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return u;
}

bool digit(char ch) { return ch >= '0' && ch <= '9'; }

[[noreturn]] void malformed(const char* component) {
  message<-129>(component);
  std::fflush(stdout);
  ClearErr();
  dataerr_jmp();
  internal_error("no error frame", "obj/tamrel", __LINE__);
}

}  // namespace

namespace {

struct ItemPlace {
  long end;
  std::string item;
};

struct PhaseFile {
  std::string file;
  std::map<std::string, ItemPlace> items;
  std::string fault;  // the header key at fault, or empty
};

std::vector<PhaseFile> phasefiles;

PhaseFile* phasefile(int phase) {
  if (phase < 1) return nullptr;
  if (phasefiles.size() < static_cast<size_t>(phase)) phasefiles.resize(static_cast<size_t>(phase));
  return &phasefiles[static_cast<size_t>(phase) - 1];
}

// The line of a file that holds the byte before the offset: 1 + the line
// feeds before it; 0 when the file cannot be read again.
int lineof(const char* file, long offset) {
  FILE* f = std::fopen(file, "r");
  if (f == nullptr) return 0;
  int line = 1;
  for (long k = 0; k + 1 < offset; ++k) {
    const int c = std::fgetc(f);
    if (c == EOF) break;
    if (c == '\n') ++line;
  }
  std::fclose(f);
  return line;
}

}  // namespace

void setphasefile(int phase, const char* file) {
  if (PhaseFile* p = phasefile(phase)) *p = PhaseFile{file, {}, {}};
}

void setphaseitem(int phase, const char* key, long end, const char* item) {
  if (PhaseFile* p = phasefile(phase)) p->items[key] = ItemPlace{end, item};
}

void clearphasefiles() {
  phasefiles.clear();
  phasefiles.shrink_to_fit();
}

void phasefault(int phase, const char* key) {
  if (PhaseFile* p = phasefile(phase)) p->fault = key;
}

void namephasefile(int phase) {
  if (phase < 1 || static_cast<size_t>(phase) > phasefiles.size()) return;
  const PhaseFile& p = phasefiles[static_cast<size_t>(phase) - 1];
  if (p.file.empty()) return;
  auto at = p.fault.empty() ? p.items.end() : p.items.find(p.fault);
  if (at != p.items.end()) {
    nameplace(p.file.c_str(), at->second.end, at->second.item.c_str());
  } else {
    message<366>(p.file);
  }
}

void nameplace(const char* file, long end, const char* item) {
  const int line = end >= 0 ? lineof(file, end) : 0;
  if (line > 0) {
    message<365>(file, line, item);
  } else {
    message<366>(file);
  }
}

int readbufferfile(char* out) {
  if (backbuffer != nullptr) {
    std::strcpy(out, backbuffer);
    std::free(backbuffer);
    backbuffer = nullptr;
    return newline;
  }
  newline = 0;
  for (;;) {
    GetItem(bufferfile, 8000, out);
    dropcarriagereturn(bufferfile, out);
    if (out[0] != 0 && std::strcmp(out, "//") != 0) return newline;
    // A read error ends the items as the end of the file does (the reader
    // of the file reports it).
    if (std::feof(bufferfile) || std::ferror(bufferfile)) {
      out[0] = 0;
      return 1;
    }
    skipline(bufferfile);
    newline = 1;
  }
}

void settime(char* out) {
  std::time_t now = std::time(nullptr);
  char buf[64] = "";
  if (ctime_r(&now, buf) == nullptr) buf[0] = 0;
  char* lf = std::strchr(buf, '\n');
  if (lf != nullptr) *lf = 0;
  std::strcpy(out, buf);
}

char* symmout(const char* component, char* out) {
  const char* slash = std::strchr(component, '/');
  if (slash == nullptr) {
    std::strcpy(out, upper(component).c_str());
    return out;
  }
  const char* num = slash;
  while (num > component && digit(num[-1])) --num;
  const char* end = slash + 1;
  while (digit(*end)) ++end;
  if (num == slash || end == slash + 1) malformed(component);
  long long n = std::strtoll(num, nullptr, 10);
  long long d = std::strtoll(slash + 1, nullptr, 10);
  if (d == 0) malformed(component);
  char decimal[64];
  std::snprintf(decimal, sizeof decimal, "%.5f", static_cast<double>(n) / static_cast<double>(d));
  size_t len = std::strlen(decimal);
  while (len > 0 && decimal[len - 1] == '0') decimal[--len] = 0;
  std::string text = std::string(component, num) + decimal + end;
  std::strcpy(out, upper(text).c_str());
  return out;
}

}  // namespace crystal

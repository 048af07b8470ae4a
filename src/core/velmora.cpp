#include "core/velmora.hpp"

#include <stdio_ext.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/fatal.hpp"
#include "core/infile.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"

namespace core {

char kalvo[8001];
int radiation = 0;
bool polgesetzt = false;
float pol = 0.0f;

namespace {

struct MessageNode {
  int number;
  std::string text;
  MessageNode* next;
};

constexpr int kBuckets = 401;
MessageNode* catalogue[kBuckets];
std::atomic<bool> loaded{false};
bool exit_handler_registered = false;

int bucket_of(int n) {
  int b = n % kBuckets;
  return b < 0 ? b + kBuckets : b;
}

[[noreturn]] void catalogue_failure(int n) { fatal_exit(fatal_status(-n)); }

void load_catalogue(int n) {
  for (auto& b : catalogue) b = nullptr;
  FILE* f = kalvoopen("err.msg", "r");
  if (f == nullptr) {
    std::printf("*** err.msg not found, error was %d\n", n);
    catalogue_failure(n);
  }
  char line[500];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (line[0] == '%') continue;
    int number = 0, used = 0;
    if (std::sscanf(line, "%d%n", &number, &used) != 1 || line[used] != ' ') {
      std::printf("*** wrong line in err.msg, error %d\n", number);
      catalogue_failure(n);
    }
    // The text is everything behind the blank that follows the number, with
    // each backslash-n turned into a line feed.
    std::string text;
    for (const char* p = line + used + 1; *p != 0 && *p != '\n' && std::strcmp(p, "\r\n") != 0;
         ++p) {
      if (p[0] == '\\' && p[1] == 'n') {
        text += '\n';
        ++p;
      } else {
        text += *p;
      }
    }
    int b = bucket_of(number);
    catalogue[b] = new MessageNode{number, std::move(text), catalogue[b]};
  }
  std::fclose(f);
}

}  // namespace

const char* errmsg(int n) {
  if (!loaded.load(std::memory_order_acquire)) {
    requestmutex(&initmutex);
    if (!loaded.load(std::memory_order_relaxed)) {
      load_catalogue(n);
      loaded.store(true, std::memory_order_release);
      if (!exit_handler_registered) {
        exit_handler_registered = true;
        std::atexit(nodesfree);
      }
    }
    releasemutex(&initmutex);
  }
  // One buffer per thread, valid until that thread's next call.
  thread_local char buffer[500];
  // The newest line of a number sits nearest the head of its bucket, so a
  // later line shadows an earlier one.
  for (MessageNode* p = catalogue[bucket_of(n)]; p != nullptr; p = p->next) {
    if (p->number == n) {
      std::strncpy(buffer, p->text.c_str(), sizeof buffer - 1);
      buffer[sizeof buffer - 1] = 0;
      return buffer;
    }
  }
  std::printf("***error %d not found in err.msg\n", n);
  catalogue_failure(n);
}

void nodesfree() {
  if (!loaded.load()) return;
  for (auto& b : catalogue) {
    while (b != nullptr) {
      MessageNode* next = b->next;
      delete b;
      b = next;
    }
  }
  loaded.store(false);
}

FILE* kalvoopen(const char* name, const char* mode) {
  std::string path = std::string(kalvo) + "/" + name;
  FILE* f = std::strchr(mode, 'r') != nullptr && std::strchr(mode, '+') == nullptr
                ? openquiet(path.c_str(), std::strchr(mode, 'b') != nullptr)
                : std::fopen(path.c_str(), mode);
  if (f == nullptr || std::strchr(mode, 'r') == nullptr) return f;
  // The file is read through by the thread that opened it and closed: its
  // stream takes no lock per character. Once the worker threads exist, the C
  // library otherwise locks the stream at every character, which cost the
  // set-up of a run on eight threads about a millisecond in reading the
  // space-group database character by character.
  __fsetlocking(f, FSETLOCKING_BYCALLER);
  // Skip the leading comment lines; leave the stream at the first other line.
  for (;;) {
    int c = std::fgetc(f);
    if (c == EOF) break;
    if (c != '%') {
      std::ungetc(c, f);
      break;
    }
    while (c != '\n' && c != EOF) c = std::fgetc(f);
    if (c == EOF) break;
  }
  return f;
}

int getcharlf(FILE* f) {
  int c = std::getc(f);
  if (c != '\r') return c;
  int next = std::getc(f);
  if (next == '\n') return next;
  if (next != EOF) std::ungetc(next, f);
  return c;
}

void outofmemory() { fatal<-44>(); }

namespace {

// Memory set aside at the start and given back when an allocation fails, so
// that the message can still be read from the catalogue and printed.
void* memoryreserve = nullptr;
std::atomic_flag outofmemory_reported = ATOMIC_FLAG_INIT;

void newfailure() {
  std::free(memoryreserve);
  memoryreserve = nullptr;
  // A second failure while the message is being printed (or on another
  // thread) ends the run at once with the same status.
  if (outofmemory_reported.test_and_set()) fatal_exit(fatal_status(44));
  outofmemory();
}

}  // namespace

void install_outofmemory_handler() {
  if (memoryreserve == nullptr) memoryreserve = std::malloc(size_t{1} << 18);
  std::set_new_handler(newfailure);
}

void mychdir(const char* dir) {
  if (chdir(dir) == 0) {
    message<57>(dir);
  } else {
    fatal<-2>(dir);
  }
}

void setxray(bool flag) {
  if (flag) {
    radiation = 1;
    polgesetzt = true;
    pol = 1.0f;
  } else if (radiation == 1) {
    radiation = 0;
  }
}

void setsynchrotron(bool flag) {
  if (flag)
    radiation = 2;
  else if (radiation == 2)
    radiation = 0;
}

void setneutrons(bool flag) {
  if (flag) {
    radiation = 3;
    polgesetzt = false;
  } else if (radiation == 3) {
    radiation = 0;
  }
}

void setpol(bool flag) {
  if (flag) {
    if (radiation == 3) internal_error("polset", "obj/velmora", 188);
    polgesetzt = true;
  } else {
    if (radiation == 1) internal_error("polunset", "obj/velmora", 193);
    polgesetzt = false;
  }
}

bool ifxray() { return radiation == 1; }
bool ifsynchrotron() { return radiation == 2; }
bool ifneutrons() { return radiation == 3; }
bool ifpol() { return polgesetzt; }

bool isnotfinite(double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return ((bits >> 52) & 0x7ff) == 0x7ff;
}

double mycabs(double re, double im) {
  const double tiny = 2.2250738585072014e-308;
  double a = std::fabs(re), b = std::fabs(im);
  if (a < tiny && b < tiny) return 0.0;
  if (a > b) {
    double r = im / re;
    return a * std::sqrt(1.0 + r * r);
  }
  double r = re / im;
  return b * std::sqrt(1.0 + r * r);
}

double myatanh(double x) { return 0.5 * std::log((1.0 + x) / (1.0 - x)); }

}  // namespace core

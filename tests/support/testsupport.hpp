// Helpers shared by the test programs: temporary directories, files, and
// running a built program (or a function in a child process) to observe its
// output and exit status.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ktest {

// Whether the tests run under the address or the thread sanitizer (g++ says
// so by a macro, clang by __has_feature).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope in the process that made
// it (a forked child that ends through exit() leaves it to its parent).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  long owner_;  // process id of the maker
};

// A temporary installation directory holding copies of the named files of
// the shipped data/ directory (all files when the list is empty).
class TempInstall : public TempDir {
 public:
  explicit TempInstall(const std::vector<std::string>& files = {});
};

// A copy of the whole shipped data/ directory made once for this test
// process and removed at its end: the installation directory of tests that
// call the library in-process, so that nothing they do can reach data/.
const std::string& process_install();

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void copy_file(const std::string& from, const std::string& to);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs a program with arguments in a working directory, with the given
// environment changes (a value of "\x01unset" removes the variable).
// Standard input is empty.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd = "",
                      const std::map<std::string, std::string>& env = {},
                      int timeout_seconds = 120);

// Runs like run_program, but as the user "nobody" (through setpriv), so that
// file permissions hold for the program as they do for a user. Only for a
// test run as root where that user exists: can_run_unprivileged tells, and a
// test that needs it skips otherwise. The caller opens the directories and
// files the program must reach.
bool can_run_unprivileged();
RunResult run_unprivileged(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd = "",
                           const std::map<std::string, std::string>& env = {},
                           int timeout_seconds = 120);

// Makes path (a link itself, not its target) the property of the user that
// run_unprivileged runs programs as; nothing when there is none.
void give_to_unprivileged(const std::string& path);

// Path of a built program of the suite.
std::string program_path(const std::string& name);

// Runs fn in a forked child and reports how it ended; fn may call exit paths.
// Standard output and error of the child are captured.
RunResult run_in_child(const std::function<void()>& fn, int timeout_seconds = 60);

// The text of message n in the shipped catalogue (data/err.msg), with its
// "\n" escapes turned into line feeds. A message missing from the catalogue
// is recorded as a test failure and gives false.
bool catalogue_message(int n, std::string& text);

// Message n as a program prints it: its catalogue text formatted with the
// arguments the run must have passed.
template <class... Args>
std::string message(int n, Args... args) {
  std::string text;
  if (!catalogue_message(n, text)) return "<no message " + std::to_string(n) + ">";
  if constexpr (sizeof...(Args) == 0) {
    return text;
  } else {
    char buf[2000];
    std::snprintf(buf, sizeof buf, text.c_str(), args...);
    return buf;
  }
}

// Reads one line of a program's output from left to right, piece by piece,
// for tests that check a line's layout without a regular expression. Each
// call that does not find what it asks for sets ok to false; the pieces read
// are returned as text.
struct LineReader {
  const std::string& text;
  size_t at = 0;
  bool ok = true;

  explicit LineReader(const std::string& t) : text(t) {}
  // The literal lit; with optional, its absence is no failure. True when read.
  bool literal(const std::string& lit, bool optional = false);
  // The longest run of characters of set (at least min of them).
  std::string run(const std::string& set, size_t min = 1);
  // A run of characters that are not blanks (at least one).
  std::string word();
  // Digits, a point and digits ("12.345"), as its text.
  std::string decimal();
  // Characters up to (not including) the last occurrence of stop, or up to
  // the end when stop is empty.
  std::string until_last(const std::string& stop);
  // True when the line was read whole without a failure.
  bool done() const { return ok && at == text.size(); }
};

inline const std::string kDigits = "0123456789";
inline const std::string kBlanks = " \t\r\n\f\v";

}  // namespace ktest

#include "core/outfile.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/message.hpp"
#include "core/runfiles.hpp"

namespace core {

namespace {

// Temporary files in the making, so that a fatal end removes them. A slot
// holds its name in fixed storage: the fatal end may run in a signal handler
// or on a worker, where nothing may be allocated or locked.
constexpr int kSlots = 64;
constexpr int kNameMax = PATH_MAX + 16;
struct Slot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 a live temporary file
  char name[kNameMax];
};
Slot slots[kSlots];

int claim(const std::string& name) {
  if (name.size() >= static_cast<size_t>(kNameMax)) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (slots[i].state.compare_exchange_strong(expected, 1)) {
      std::memcpy(slots[i].name, name.c_str(), name.size() + 1);
      slots[i].state.store(2);
      return i;
    }
  }
  return -1;  // more files at once than slots: still written, only not cleaned
}

void release(int slot) {
  if (slot >= 0) slots[slot].state.store(0);
}

std::string directoryof(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string resolvetarget(const char* path) {
  std::string cur = path;
  // A chain of links is followed to its end; a loop gives up at the limit
  // and the open fails on the loop itself.
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st;
    if (lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return cur;
    char buf[PATH_MAX + 1];
    ssize_t len = readlink(cur.c_str(), buf, PATH_MAX);
    if (len < 0) return cur;
    buf[len] = 0;
    if (buf[0] == '/' || cur.find('/') == std::string::npos)
      cur = buf;
    else
      cur = directoryof(cur) + "/" + buf;
  }
  return cur;
}

bool notreplaceable(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return false;  // absent (or a dangling link): it is created
  if (!S_ISREG(st.st_mode)) return true;
  // Write protection is honoured also where the user could override it.
  if ((st.st_mode & 0222) == 0) return true;
  return access(path, W_OK) != 0;
}

OutFile::~OutFile() { discard(); }

bool OutFile::open(const char* path, bool binary) {
  discard();
  if (path == nullptr || path[0] == 0) return false;
  target_ = resolvetarget(path);
  // A file the run reads is never written over (the end, message -91).
  runwritecheck(target_);
  if (notreplaceable(target_.c_str())) return false;
  temp_ = directoryof(target_) + "/.tmpXXXXXX";
  int fd = mkstemp(temp_.data());
  if (fd < 0) return false;
  slot_ = claim(temp_);
  struct stat st;
  if (stat(target_.c_str(), &st) == 0) {
    fchmod(fd, st.st_mode & 07777);
    // Only the superuser may give the file back to its owner; for anybody
    // else the file is theirs already.
    if (fchown(fd, st.st_uid, st.st_gid) != 0) errno = 0;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  checked_ = !binary;
  fp_ = fdopen(fd, binary ? "wb" : "w");
  if (fp_ == nullptr) {
    close(fd);
    unlink(temp_.c_str());
    release(slot_);
    slot_ = -1;
    return false;
  }
  return true;
}

bool OutFile::commit() {
  if (fp_ == nullptr) return false;
  bool ok = std::ferror(fp_) == 0;
  ok = std::fflush(fp_) == 0 && ok;
  int line = 0;
  std::string item;
  if (ok && checked_ && nonfiniteitem(temp_.c_str(), &line, &item)) {
    message<320>(target_, line, item);
    std::fflush(stdout);
    discard();
    return false;
  }
  ok = fsync(fileno(fp_)) == 0 && ok;
  ok = std::fclose(fp_) == 0 && ok;
  fp_ = nullptr;
  if (ok) ok = std::rename(temp_.c_str(), target_.c_str()) == 0;
  if (!ok) unlink(temp_.c_str());
  release(slot_);
  slot_ = -1;
  return ok;
}

void OutFile::discard() {
  if (fp_ != nullptr) {
    std::fclose(fp_);
    fp_ = nullptr;
    unlink(temp_.c_str());
  }
  release(slot_);
  slot_ = -1;
}

bool writefile(const char* path, const std::function<bool(FILE*)>& fill, bool binary,
               bool checked) {
  OutFile out;
  if (!out.open(path, binary)) return false;
  if (!checked) out.keepnonfinite();
  if (!fill(out.file())) {
    out.discard();
    return false;
  }
  return out.commit();
}

namespace {

// An item that printf makes of a value that is not finite: nan or inf or
// infinity in either case, with a sign or without.
bool nonfinitetext(const char* t, size_t n) {
  if (n > 0 && (t[0] == '-' || t[0] == '+')) ++t, --n;
  if (n != 3 && n != 8) return false;
  char low[8];
  for (size_t i = 0; i < n; ++i)
    low[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(t[i])));
  return std::memcmp(low, n == 3 ? "nan" : "infinity", n) == 0 ||
         (n == 3 && std::memcmp(low, "inf", 3) == 0);
}

// The characters that end an item, by their byte.
struct Delimiters {
  bool at[256] = {};
  constexpr Delimiters() {
    for (const char c : " \t\n\r\f\v=,:;()[]'\"") at[static_cast<unsigned char>(c)] = true;
    at[0] = false;
  }
};
constexpr Delimiters kDelimiters;

}  // namespace

bool nonfiniteitem(const char* path, int* line, std::string* item) {
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  // Items longer than any such text are passed over unkept. The file is
  // read in blocks: a diagram file of some thousand points is scanned at
  // every cycle.
  constexpr size_t kLongest = 9;
  char cur[kLongest];
  size_t len = 0;
  bool toolong = false;
  int at = 1;
  bool found = false;
  char buf[16384];
  for (bool more = true; more && !found;) {
    const size_t n = std::fread(buf, 1, sizeof buf, f);
    more = n == sizeof buf;
    for (size_t i = 0; i < n; ++i) {
      const auto c = static_cast<unsigned char>(buf[i]);
      if (kDelimiters.at[c]) {
        if (!toolong && nonfinitetext(cur, len)) {
          found = true;
          break;
        }
        len = 0;
        toolong = false;
        if (c == '\n') ++at;
      } else if (len < kLongest) {
        cur[len++] = static_cast<char>(c);
      } else {
        toolong = true;
      }
    }
  }
  // The item at the end of the file.
  if (!found && !toolong && nonfinitetext(cur, len)) found = true;
  std::fclose(f);
  if (found) {
    *line = at;
    item->assign(cur, len);
  }
  return found;
}

void outfile_abandon_all() {
  for (Slot& s : slots)
    if (s.state.load() == 2) unlink(s.name);
}

}  // namespace core

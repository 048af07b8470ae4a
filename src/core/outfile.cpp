#include "core/outfile.hpp"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

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
  if (ok && checked_ && nonfiniteitem(temp_.c_str(), &line, &item)) return refuse(line, item);
  if (sync_) ok = fsync(fileno(fp_)) == 0 && ok;
  ok = std::fclose(fp_) == 0 && ok;
  fp_ = nullptr;
  if (ok) ok = std::rename(temp_.c_str(), target_.c_str()) == 0;
  if (!ok) unlink(temp_.c_str());
  release(slot_);
  slot_ = -1;
  return ok;
}

bool OutFile::refuse(int line, const std::string& item) {
  message<320>(target_, line, item);
  std::fflush(stdout);
  discard();
  return false;
}

bool OutFile::checktext(const std::string& text) {
  if (!checked_) return true;
  int line = 0;
  std::string item;
  if (nonfiniteintext(text, &line, &item)) return refuse(line, item);
  checked_ = false;
  return true;
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

bool writefile(const char* path, const std::function<bool(FILE*)>& fill, bool binary, bool checked,
               bool sync) {
  OutFile out;
  if (!out.open(path, binary)) return false;
  if (!checked) out.keepnonfinite();
  if (!sync) out.skipsync();
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

namespace {

// Items longer than any text of a value that is not finite are passed over.
constexpr size_t kLongest = 9;
// Bytes read at a time: a diagram file of some thousand points is scanned at
// every cycle.
constexpr size_t kBlock = size_t{1} << 16;

// Each such text holds an n: only the items around an n or N are looked at,
// the rest of the text is passed over by memchr.
class Letters {
 public:
  Letters(const char* p, const char* e) : e_(e), n_(find(p, 'n')), N_(find(p, 'N')) {}
  // The first n or N at or after p, or the end.
  const char* next(const char* p) {
    if (n_ < p) n_ = find(p, 'n');
    if (N_ < p) N_ = find(p, 'N');
    return std::min(n_, N_);
  }

 private:
  const char* find(const char* p, char c) const {
    const void* at = p < e_ ? std::memchr(p, c, static_cast<size_t>(e_ - p)) : nullptr;
    return at != nullptr ? static_cast<const char*>(at) : e_;
  }
  const char* e_;
  const char* n_;
  const char* N_;
};

// The number of line ends in the first count bytes of f, read from its start.
int lineends(FILE* f, long count) {
  if (std::fseek(f, 0, SEEK_SET) != 0) return 0;
  char buf[16384];
  int ends = 0;
  while (count > 0) {
    const size_t want = std::min(sizeof buf, static_cast<size_t>(count));
    const size_t n = std::fread(buf, 1, want, f);
    for (size_t i = 0; i < n; ++i) ends += buf[i] == '\n' ? 1 : 0;
    if (n < want) break;
    count -= static_cast<long>(n);
  }
  return ends;
}

// The first item of f, read from its start, that a number not finite was
// printed as; f is left open.
bool nonfiniteitemof(FILE* f, int* line, std::string* item) {
  // The block is read behind room for the item the previous block ended
  // in, which is put back before it (or marked too long), so that every
  // item is whole in the buffer when it is judged.
  const std::unique_ptr<char[]> buf = std::make_unique_for_overwrite<char[]>(kLongest + kBlock);
  char* const data = buf.get() + kLongest;
  size_t carried = 0;     // bytes of the previous block's last item before data
  bool headlong = false;  // that item was too long already
  long offset = 0;        // position of data in the file
  const char* found = nullptr;
  size_t foundlen = 0;
  for (bool more = true; more && found == nullptr;) {
    const size_t n = std::fread(data, 1, kBlock, f);
    more = n == kBlock;
    const char* const lo = data - carried;
    const char* const e = data + n;
    // The start of the item that ends before `to`; null when it is too long.
    auto itemstart = [&](const char* to) -> const char* {
      const char* s = to;
      while (s > lo && !kDelimiters.at[static_cast<unsigned char>(s[-1])]) {
        --s;
        if (static_cast<size_t>(to - s) > kLongest) return nullptr;
      }
      return s == lo && headlong ? nullptr : s;
    };
    Letters letters(lo, e);
    const char* p = lo;
    for (const char* q; (q = letters.next(p)) < e;) {
      const char* t = q;
      while (t < e && !kDelimiters.at[static_cast<unsigned char>(*t)]) ++t;
      // An item that may go on in the next block is judged there.
      if (t == e && more) break;
      const char* s = itemstart(q);
      if (s != nullptr && static_cast<size_t>(t - s) <= kLongest &&
          nonfinitetext(s, static_cast<size_t>(t - s))) {
        found = s;
        foundlen = static_cast<size_t>(t - s);
        break;
      }
      p = t;
    }
    if (found != nullptr) {
      offset += found - data;
      break;
    }
    // The item the block ends in goes on in the next one.
    const char* tail = itemstart(e);
    headlong = tail == nullptr;
    carried = headlong ? 0 : static_cast<size_t>(e - tail);
    if (carried > 0) std::memmove(data - carried, tail, carried);
    offset += static_cast<long>(n);
  }
  if (found != nullptr) {
    item->assign(found, foundlen);
    *line = lineends(f, offset) + 1;
  }
  return found != nullptr;
}

}  // namespace

bool nonfiniteitem(const char* path, int* line, std::string* item) {
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  const bool found = nonfiniteitemof(f, line, item);
  std::fclose(f);
  return found;
}

bool nonfiniteintext(const std::string& text, int* line, std::string* item) {
  if (text.empty()) return false;
  // The text is read as the file would be, through a stream over it.
  FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (f == nullptr) return false;
  const bool found = nonfiniteitemof(f, line, item);
  std::fclose(f);
  return found;
}

// ---------------------------------------------------------------------------
// Files written behind the run
//
// One thread of its own puts them in place, one file at a time; the state
// lives for the whole process (the thread may still wait on it while the
// process ends).

namespace {

struct Behind {
  std::mutex mu;
  std::condition_variable cv;
  bool started = false;
  bool busy = false;              // a file handed over and not yet in place
  std::unique_ptr<OutFile> file;  // the file handed over
  std::string text;               // its contents
  std::string name;               // the name it was asked for under
  void (*failed)(const std::string&) = nullptr;
  std::vector<std::pair<void (*)(const std::string&), std::string>> failures;
};

Behind* behindstate = nullptr;

// A child process made by fork has no writer thread: it starts afresh, with
// its own lock, and leaves a file the parent had in hand to the parent.
void behindafterfork() {
  Behind& b = *behindstate;
  new (&b.mu) std::mutex;
  new (&b.cv) std::condition_variable;
  (void)b.file.release();
  b.started = false;
  b.busy = false;
  b.failures.clear();
}

Behind& behind() {
  static const bool made = [] {
    behindstate = new Behind;  // never destroyed, see above
    pthread_atfork(nullptr, nullptr, behindafterfork);
    return true;
  }();
  (void)made;
  return *behindstate;
}

// Writes the text into the open file and puts it in place.
bool putinplace(OutFile& file, const std::string& text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file.file()) != text.size()) {
    file.discard();
    return false;
  }
  return file.commit();
}

void behindloop() {
  Behind& b = behind();
  std::unique_lock<std::mutex> lock(b.mu);
  for (;;) {
    b.cv.wait(lock, [&] { return b.busy && b.file != nullptr; });
    std::unique_ptr<OutFile> file = std::move(b.file);
    lock.unlock();
    const bool ok = putinplace(*file, b.text);
    file.reset();
    lock.lock();
    if (!ok && b.failed != nullptr) b.failures.emplace_back(b.failed, b.name);
    b.busy = false;
    b.cv.notify_all();
  }
}

}  // namespace

void writebehind(std::unique_ptr<OutFile> file, std::string& text, const std::string& name,
                 void (*failed)(const std::string& name)) {
  writebehindwait();
  if (!file->checktext(text)) {
    if (failed != nullptr) failed(name);
    return;
  }
  Behind& b = behind();
  std::unique_lock<std::mutex> lock(b.mu);
  if (!b.started) {
    try {
      std::thread(behindloop).detach();
      b.started = true;
    } catch (const std::system_error&) {
      // No thread to be had: the file is written here and now.
      lock.unlock();
      if (!putinplace(*file, text) && failed != nullptr) failed(name);
      return;
    }
  }
  b.file = std::move(file);
  b.text.swap(text);
  b.name = name;
  b.failed = failed;
  b.busy = true;
  b.cv.notify_all();
}

void writebehindwait() {
  Behind& b = behind();
  std::vector<std::pair<void (*)(const std::string&), std::string>> failures;
  {
    std::unique_lock<std::mutex> lock(b.mu);
    if (!b.started) return;
    b.cv.wait(lock, [&] { return !b.busy; });
    failures.swap(b.failures);
  }
  for (const auto& f : failures) f.first(f.second);
}

void outfile_abandon_all() {
  for (Slot& s : slots)
    if (s.state.load() == 2) unlink(s.name);
}

}  // namespace core

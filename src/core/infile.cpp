#include "core/infile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <stdio_ext.h>

#include "core/message.hpp"

namespace core {

namespace {

const char* kindof(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "a device";
}

// The open of a regular file, or nullptr with *kind set to what the name is
// when it is something else. The name is looked at before it is opened, so
// that no device is opened at all; the open itself does not wait for a
// writer of a FIFO put in its place meanwhile, and what it opened is looked
// at again.
FILE* openregular(const char* path, bool binary, const char** kind) {
  *kind = nullptr;
  struct stat st;
  if (stat(path, &st) == 0 && (*kind = kindof(st.st_mode)) != nullptr) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fstat(fd, &st) != 0 || (*kind = kindof(st.st_mode)) != nullptr) {
    const int err = *kind != nullptr && S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (*kind == nullptr) *kind = "a device";
    close(fd);
    errno = err;
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    const int err = errno;
    close(fd);
    errno = err;
    return nullptr;
  }
  FILE* f = fdopen(fd, binary ? "rb" : "r");
  if (f == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}

}  // namespace

const char* notafile(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return nullptr;
  return kindof(st.st_mode);
}

FILE* openread(const char* path, const char* key, bool binary) {
  const char* kind = nullptr;
  FILE* f = openregular(path, binary, &kind);
  if (kind != nullptr) {
    const int err = errno;
    message<340>(path, key, kind);
    std::fflush(stdout);
    errno = err;
  }
  return f;
}

FILE* openquiet(const char* path, bool binary) {
  const char* kind = nullptr;
  return openregular(path, binary, &kind);
}

void checkread(FILE* f, const char* path, const char* key) {
  if (f != nullptr && std::ferror(f) != 0) fatal<-115>(path, key);
}

MemoryCopy::MemoryCopy(FILE* f) : in_(f) {
  // The whole text; the file is left where it was (behind the leading
  // comment lines an opening may have skipped).
  const long start = std::ftell(f);
  if (start < 0) return;
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size > 0 && std::fseek(f, 0, SEEK_SET) == 0) {
    text_.resize(static_cast<size_t>(size));
    text_.resize(std::fread(text_.data(), 1, text_.size(), f));
  }
  readfailed_ = std::ferror(f) != 0;
  const bool whole = size > 0 && text_.size() == static_cast<size_t>(size) && !readfailed_;
  std::clearerr(f);
  if (std::fseek(f, start, SEEK_SET) != 0) {
    text_.clear();
    return;
  }
  if (!whole) return;
  copy_ = fmemopen(text_.data(), text_.size(), "r");
  if (copy_ == nullptr) return;
  __fsetlocking(copy_, FSETLOCKING_BYCALLER);
  if (std::fseek(copy_, start, SEEK_SET) != 0) {
    std::fclose(copy_);
    copy_ = nullptr;
    return;
  }
  in_ = copy_;
}

MemoryCopy::~MemoryCopy() {
  if (copy_ != nullptr) std::fclose(copy_);
}

}  // namespace core

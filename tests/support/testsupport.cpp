#include "testsupport.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace ktest {

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "kalvo-test-XXXXXX").string();
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back(0);
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
  owner_ = static_cast<long>(getpid());
}

TempDir::~TempDir() {
  if (static_cast<long>(getpid()) != owner_) return;
  std::error_code ec;
  // Make everything writable again so that a test that removed write bits
  // does not leave its directory behind. A symbolic link is left as it is:
  // changing its permissions would change its target, which may lie outside.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (!it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

TempInstall::TempInstall(const std::vector<std::string>& files) {
  fs::path src = KALVO_SOURCE_DATA;
  if (files.empty()) {
    for (auto& e : fs::directory_iterator(src))
      if (e.is_regular_file()) fs::copy_file(e.path(), fs::path(path()) / e.path().filename());
  } else {
    for (auto& f : files) fs::copy_file(src / f, fs::path(path()) / f);
  }
}

const std::string& process_install() {
  static TempInstall install;
  return install.path();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << content;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::string();
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) { return fs::exists(path); }

void copy_file(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

std::string program_path(const std::string& name) {
  return std::string(KALVO_BIN_DIR) + "/" + name;
}

namespace {

// Reads both pipes until the child has closed them, then reaps it.
RunResult collect(pid_t pid, int outfd, int errfd, int timeout_seconds) {
  RunResult r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool out_open = true, err_open = true, killed = false;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[2];
    int n = 0;
    if (out_open) fds[n++] = {outfd, POLLIN, 0};
    if (err_open) fds[n++] = {errfd, POLLIN, 0};
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
      left = 1000;
    }
    int pr = poll(fds, static_cast<nfds_t>(n), left > 0 ? left : 1000);
    if (pr < 0 && errno == EINTR) continue;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t k = read(fds[i].fd, buf, sizeof buf);
      bool is_out = fds[i].fd == outfd;
      if (k <= 0) {
        (is_out ? out_open : err_open) = false;
      } else {
        (is_out ? r.out : r.err).append(buf, static_cast<size_t>(k));
      }
    }
  }
  close(outfd);
  close(errfd);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(st))
    r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st))
    r.status = 128 + WTERMSIG(st);
  return r;
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd, const std::map<std::string, std::string>& env,
                      int timeout_seconds) {
  // The child's temporary folders go into one that the parent removes: a
  // child ending through a fatal exit never runs its own destructors.
  TempDir scratch;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setenv("TMPDIR", scratch.path().c_str(), 1);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    close(out[1]);
    close(err[1]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    for (auto& [k, v] : env) {
      if (v == "\x01unset")
        unsetenv(k.c_str());
      else
        setenv(k.c_str(), v.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return collect(pid, out[0], err[0], timeout_seconds);
}

namespace {

const char* const kSetpriv = "/usr/bin/setpriv";

// The user and group "nobody", when the test may switch to it.
bool unprivileged(uid_t& uid, gid_t& gid) {
  if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) return false;
  const passwd* pw = getpwnam("nobody");
  if (pw == nullptr || pw->pw_uid == 0) return false;
  uid = pw->pw_uid;
  gid = pw->pw_gid;
  return true;
}

// Adds search permission for others to every folder from the temporary
// folder down to each given path that lies inside it; folders elsewhere are
// left as they are.
void open_ancestors_to_others(const std::vector<std::string>& paths) {
  std::error_code ec;
  const fs::path top = fs::weakly_canonical(fs::temp_directory_path(), ec);
  if (ec) return;
  for (const std::string& given : paths) {
    if (given.empty() || given[0] != '/') continue;
    fs::path p = fs::weakly_canonical(given, ec);
    if (ec) continue;
    auto [end, rest] = std::mismatch(top.begin(), top.end(), p.begin(), p.end());
    if (end != top.end()) continue;  // not inside the temporary folder
    for (fs::path dir = p.parent_path();; dir = dir.parent_path()) {
      struct stat st;
      if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IXOTH) == 0)
        ::chmod(dir.c_str(), (st.st_mode & 07777) | S_IXOTH);
      if (dir == top || dir == dir.parent_path()) break;
    }
  }
}

}  // namespace

bool can_run_unprivileged() {
  uid_t uid;
  gid_t gid;
  return unprivileged(uid, gid);
}

RunResult run_unprivileged(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, const std::map<std::string, std::string>& env,
                           int timeout_seconds) {
  uid_t uid;
  gid_t gid;
  if (!unprivileged(uid, gid)) throw std::runtime_error("no unprivileged user to run as");
  // The test's folders lie in the temporary folder, which the test runner
  // may have made for the owner alone: the user must be able to pass through
  // it (and through any folder between it and the run's files) to reach them.
  std::vector<std::string> reach = {cwd};
  for (const auto& kv : env) reach.push_back(kv.second);
  open_ancestors_to_others(reach);
  std::vector<std::string> all = {"--reuid=" + std::to_string(uid),
                                  "--regid=" + std::to_string(gid), "--clear-groups", program};
  all.insert(all.end(), args.begin(), args.end());
  return run_program(kSetpriv, all, cwd, env, timeout_seconds);
}

void give_to_unprivileged(const std::string& path) {
  uid_t uid;
  gid_t gid;
  if (unprivileged(uid, gid) && lchown(path.c_str(), uid, gid) != 0)
    throw std::runtime_error("cannot give " + path + " to the user");
}

RunResult run_in_child(const std::function<void()>& fn, int timeout_seconds) {
  // The child's temporary folders go into one that the parent removes: a
  // child ending through a fatal exit never runs its own destructors.
  TempDir scratch;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setenv("TMPDIR", scratch.path().c_str(), 1);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    close(out[1]);
    close(err[1]);
    fn();
    std::fflush(nullptr);
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  return collect(pid, out[0], err[0], timeout_seconds);
}

bool catalogue_message(int n, std::string& text) {
  std::ifstream f(std::string(KALVO_SOURCE_DATA) + "/err.msg");
  std::string line, prefix = std::to_string(n) + " ";
  while (std::getline(f, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    text.clear();
    for (size_t i = prefix.size(); i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 'n') {
        text += '\n';
        ++i;
      } else {
        text += line[i];
      }
    }
    return true;
  }
  ADD_FAILURE() << "message " << n << " is not in the catalogue";
  return false;
}

bool LineReader::literal(const std::string& lit, bool optional) {
  if (ok && text.compare(at, lit.size(), lit) == 0) {
    at += lit.size();
    return true;
  }
  if (!optional) ok = false;
  return false;
}

std::string LineReader::run(const std::string& set, size_t min) {
  if (!ok) return "";
  size_t end = at;
  while (end < text.size() && set.find(text[end]) != std::string::npos) ++end;
  if (end - at < min) {
    ok = false;
    return "";
  }
  std::string piece = text.substr(at, end - at);
  at = end;
  return piece;
}

std::string LineReader::word() {
  if (!ok) return "";
  size_t end = at;
  while (end < text.size() && kBlanks.find(text[end]) == std::string::npos) ++end;
  if (end == at) ok = false;
  std::string piece = text.substr(at, end - at);
  at = end;
  return piece;
}

std::string LineReader::decimal() {
  std::string whole = run(kDigits);
  literal(".");
  std::string fraction = run(kDigits);
  return ok ? whole + "." + fraction : "";
}

std::string LineReader::until_last(const std::string& stop) {
  if (!ok) return "";
  size_t end = stop.empty() ? text.size() : text.rfind(stop);
  if (end == std::string::npos || end < at) {
    ok = false;
    return "";
  }
  std::string piece = text.substr(at, end - at);
  at = end;
  return piece;
}

}  // namespace ktest

#include "core/runfiles.hpp"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"

namespace core {

namespace {

// The identity of a file: device and inode when it exists, and always its
// canonical path.
struct Identity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string canonical;
};

std::string canonicalpath(const std::string& path) {
  char real[PATH_MAX];
  if (realpath(path.c_str(), real) != nullptr) return real;
  // Not there (yet): the directory resolved, the last name as written.
  std::string target = resolvetarget(path.c_str());
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".")
                          : slash == 0               ? std::string("/")
                                                     : target.substr(0, slash);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (realpath(dir.c_str(), real) != nullptr) return std::string(real) + "/" + base;
  return target;
}

Identity identify(const std::string& path) {
  Identity id;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
  }
  id.canonical = canonicalpath(path);
  return id;
}

bool same(const Identity& a, const Identity& b) {
  if (a.exists && b.exists) return a.dev == b.dev && a.ino == b.ino;
  return a.canonical == b.canonical;
}

struct Input {
  std::string key;
  std::string path;
  Identity id;
  bool rewritten = false;
};

std::vector<Input>& inputs() {
  static std::vector<Input> list;
  return list;
}

// The failures of the run: count and first message of each class, and which
// class failed first (92 inputs, 93 outputs, 0 none).
struct Failures {
  int inputs = 0, firstinput = 0;
  int outputs = 0, firstoutput = 0;
  int first = 0;
} failures;

}  // namespace

void runinput(const std::string& key, const std::string& path) {
  if (path.empty()) return;
  inputs().push_back(Input{key, path, identify(path), false});
}

void runoutput(const std::string& key, const std::string& path,
               const std::vector<std::string>& mayreplace) {
  if (path.empty()) return;
  const Identity out = identify(resolvetarget(path.c_str()));
  for (Input& in : inputs()) {
    if (!same(out, in.id)) continue;
    if (std::find(mayreplace.begin(), mayreplace.end(), in.key) != mayreplace.end()) {
      in.rewritten = true;
      continue;
    }
    fatal<-90>(key, path, in.path, in.key);
  }
}

void runrewritten(const std::string& path) {
  const Identity id = identify(path);
  for (Input& in : inputs())
    if (same(id, in.id)) in.rewritten = true;
}

void runwritecheck(const std::string& target) {
  if (inputs().empty()) return;
  const Identity out = identify(target);
  for (const Input& in : inputs())
    if (!in.rewritten && same(out, in.id)) fatal<-91>(target, in.path, in.key);
}

bool samefile(const std::string& a, const std::string& b) {
  return same(identify(resolvetarget(a.c_str())), identify(resolvetarget(b.c_str())));
}

void inputfailed(int n) {
  if (failures.inputs++ == 0) failures.firstinput = n;
  if (failures.first == 0) failures.first = 92;
}

void outputfailed(int n) {
  if (failures.outputs++ == 0) failures.firstoutput = n;
  if (failures.first == 0) failures.first = 93;
}

int inputfailures() { return failures.inputs; }

int runstatus() { return failures.first; }

void runend() {
  // A file still being put in place behind the run is waited for, so that
  // its failure counts.
  writebehindwait();
  if (failures.inputs > 0) message<-92>(failures.inputs, failures.firstinput);
  if (failures.outputs > 0) message<-93>(failures.outputs, failures.firstoutput);
  std::fflush(stdout);
  fatal_exit(failures.first);
}

}  // namespace core

#!/usr/bin/env bash
# Installs what building and testing the suite needs, when it is missing:
# make, git, a C++ compiler, CMake, Ninja and GoogleTest (Debian packages), and
# gnuplot, with which the tests draw the plot preparation's command files.
# Refuses a CMake older than the build presets need.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
need=()
command -v make >/dev/null 2>&1 || need+=(make)
command -v git >/dev/null 2>&1 || need+=(git)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v gnuplot >/dev/null 2>&1 || need+=(gnuplot-nox)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -d /usr/lib/x86_64-linux-gnu/cmake/GTest ] || [ -d /usr/lib/cmake/GTest ] || \
  [ -d /usr/lib/$(uname -m)-linux-gnu/cmake/GTest ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${need[@]}"
fi

# The oldest CMake the presets accept, as CMakePresets.json states it.
required=$(tr -d ' \t\n' < "$top/CMakePresets.json" | grep -o '"cmakeMinimumRequired":{[^}]*}' || true)
part() { echo "$required" | grep -o "\"$1\":[0-9]*" | grep -o '[0-9]*$' || echo 0; }
required="$(part major).$(part minor).$(part patch)"
have=$(cmake --version | sed -n 's/^cmake version \([0-9][0-9.]*\).*/\1/p')
if [ "$(printf '%s\n%s\n' "$required" "$have" | sort -V | head -n 1)" != "$required" ]; then
  echo "CMake $have is too old: the build presets need CMake $required or newer." >&2
  echo "Install a newer CMake (e.g. from the distribution's backports) and run this again." >&2
  exit 1
fi

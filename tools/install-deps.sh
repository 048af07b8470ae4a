#!/usr/bin/env bash
# Installs what building and testing the suite needs, when it is missing:
# a C++ compiler, CMake, Ninja and GoogleTest (Debian packages), and gnuplot,
# with which the tests draw the plot preparation's command files.
set -euo pipefail
need=()
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

#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the fuzz harnesses need (clang with its
# libFuzzer and sanitizer runtimes, which --no-install-recommends would otherwise leave out).
# Idempotent: apt-get runs only when a package is missing, and never prompts (CI has no
# standard input).
set -euo pipefail
packages=(cmake ninja-build g++ make pybind11-dev libflatbuffers-dev flatbuffers-compiler
          libsnappy-dev python3-dev python3-numpy python3-pytest libgtest-dev libgmock-dev
          libbenchmark-dev python3-snappy clang libclang-rt-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi

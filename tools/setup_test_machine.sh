#!/usr/bin/env bash
# Installs what `make test` needs and a fresh machine may lack: build tools,
# GoogleTest and Google Benchmark, emscripten and Chromium for the page,
# clang's fuzzer runtime, the mingw-w64 cross compiler and wine. `make test`
# runs it first, so a new clone needs no other step. Installing needs root
# (or sudo); on a machine that has everything it only checks and returns.
set -euo pipefail
cd "$(dirname "$0")/.."

# `--engine`: only what the release build needs (`make run`).
engine_only=no
[ "${1:-}" = --engine ] && engine_only=yes

need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v python3 >/dev/null 2>&1 || need+=(python3)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -e /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
if [ $engine_only = no ]; then
  # The WebAssembly build and its browser tests (make web-test).
  command -v em++ >/dev/null 2>&1 || need+=(emscripten)
  command -v chromium >/dev/null 2>&1 || need+=(chromium)
  command -v node >/dev/null 2>&1 || need+=(nodejs)
  command -v npm >/dev/null 2>&1 || need+=(npm)
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
fi
export DEBIAN_FRONTEND=noninteractive
updated=no
SUDO=
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
apt_install() {
  [ $updated = yes ] || $SUDO apt-get update -qq
  updated=yes
  $SUDO apt-get install -y -qq "$@"
}
if [ ${#need[@]} -gt 0 ]; then
  apt_install "${need[@]}"
fi
[ $engine_only = yes ] && exit 0
# The Windows build: the mingw-w64 cross compiler with POSIX threads, and wine
# to run its .exe through the protocol tests. Recommends are left out: wine's
# would add a desktop's worth of fonts, sound and graphics libraries that a
# console program never loads.
windows=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || windows+=(g++-mingw-w64-x86-64-posix)
command -v wine64 >/dev/null 2>&1 || [ -x /usr/lib/wine/wine64 ] || windows+=(wine64)
if [ ${#windows[@]} -gt 0 ]; then
  [ $updated = yes ] || $SUDO apt-get update -qq
  updated=yes
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${windows[@]}"
fi

# The fuzzer needs clang's libFuzzer runtime, which Debian ships apart from
# the compiler (libclang-rt-<major>-dev); a one-line fuzz target tells
# whether it links.
fuzz_probe() {
  local dir
  dir=$(mktemp -d)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$dir/probe.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1
  local status=$?
  rm -rf "$dir"
  return $status
}
if ! fuzz_probe; then
  apt_install "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
fi

# playwright-core at the version pinned in the lock file; it drives the
# system's Chromium and downloads no browser of its own.
# (npm ci only when the installed tree is missing or older than the lock.)
if [ ! -e tests/web/node_modules/.package-lock.json ] ||
   [ tests/web/package-lock.json -nt tests/web/node_modules/.package-lock.json ]; then
  (cd tests/web && npm ci --no-audit --no-fund)
fi

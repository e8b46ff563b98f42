#!/usr/bin/env bash
# Sets up a fresh machine, builds and runs every test: the normal build, the protocol
# and server tests again under AddressSanitizer+UndefinedBehaviorSanitizer, and each fuzz target
# for OSKEL_FUZZ_SECONDS (60 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${OSKEL_FUZZ_SECONDS:-60}

step() { printf '\n== %s\n' "$*"; }

step "set-up and build"
scripts/setup.sh

step "tests"
ctest --test-dir build --output-on-failure -j"$(nproc)"

step "protocol and server tests under ASan+UBSan"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSKEL_SANITIZE=ON >/dev/null
cmake --build build-asan --target protocol_tests server_tests server_postgres_tests server_odbc_tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -L 'protocol|server' -LE window --output-on-failure -j"$(nproc)"

step "fuzzing, ${fuzz_seconds} s per target"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSKEL_FUZZ=ON -DOSKEL_BUILD_TESTS=OFF -DOSKEL_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
cmake --build build-fuzz
ctest --test-dir build-fuzz -L fuzz --output-on-failure -j"$(nproc)"

step "all tests passed"

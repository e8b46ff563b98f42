#!/usr/bin/env bash
# Installs the Debian packages the project needs (only the missing ones; silent when
# nothing is missing) and builds the project into build/.
#   scripts/setup.sh [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  # build
  cmake ninja-build g++ pkg-config
  # protocol
  nettle-dev
  # server core: networking, databases, password hashes, logging
  libasio-dev libsoci-dev libboost-dev libsodium-dev libspdlog-dev libsqlite3-dev libpq-dev unixodbc-dev
  # database servers and drivers the tests run against
  postgresql libsqliteodbc odbcinst sqlite3
  # third-party clients and servers the file-service tests and benchmark run against
  curl lftp python3 vsftpd
  # server window (tests run it on the offscreen platform, which still needs a font)
  qt6-base-dev fonts-dejavu-core
  # tests, benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # fuzzing and the sanitizer runtimes of clang
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ ${1:-} != --no-build ]]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build
fi

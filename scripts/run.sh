#!/usr/bin/env bash
# The main job: sets up the machine, builds, and starts what exists.
# The server is not built yet; today this builds the protocol library and tells what
# there is to run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cat <<'TEXT'

Oskel is built in build/.

What exists so far:
  - the wire protocol library (build/src/protocol/liboskel_protocol.a)
  - its tests:              ctest --test-dir build
  - the wire examples:      build/tests/protocol/protocol_examples
  - the wire reference:     docs/protocol.md

OskelServer and OskelClient are not built yet.
TEXT

#!/usr/bin/env bash
# The main job: sets up the machine, builds, and runs OskelServer headless on its
# embedded SQLite database. Its settings, database and upload folder live in run/
# (run/config.ini; without that file the defaults apply: TCP 7412, FTP 7416, UDP 7418).
# Stop it with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
mkdir -p run
cat >&2 <<'TEXT'

OskelServer starts on this machine (TCP 7412, UDP 7418), data in run/.
In another terminal, add a department and two users, then send a first message:
  build/src/app/OskelServer --config run/config.ini dept add Sales
  echo alice-pw | build/src/app/OskelServer --config run/config.ini user add alice --first Alice --dept Sales
  echo bob-pw | build/src/app/OskelServer --config run/config.ini user add bob --first Bob --dept Sales
  echo alice-pw | build/src/app/oskel-send --user alice --to bob --message "Hello Bob"
  echo bob-pw | build/src/app/oskel-send --user bob

TEXT
exec build/src/app/OskelServer --config run/config.ini --headless

#!/usr/bin/env bash
# The whole Windows suite from any state: builds the Windows dependencies and the Wine prefix
# when they are missing, builds the windows preset and runs its tests under Wine. Exits with
# ctest's code.
#
# The prefix is the one the windows preset's emulator names ($HOME/.cache/qem/wineprefix). A
# wineserver kept alive for the whole run saves each test program about 1.5 s of start-up; it
# is stopped again on every way out. Two runs on the same prefix at once would stop each
# other's server and share its machine-wide folders: run one at a time.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

export WINEPREFIX="$HOME/.cache/qem/wineprefix"
export WINEDEBUG=-all
# Wine's C run-time misreads a Linux TZ; the programs run without one, as the preset's
# emulator does.
unset TZ
wine=/usr/lib/wine/wine64  # Debian puts no wine64 on PATH
wineserver=/usr/lib/wine/wineserver

bash scripts/build-windows-deps.sh

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows: creating the Wine prefix $WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Wine's long-lived services keep the current folder of the program that started them: /tmp.
  (cd /tmp && "$wine" wineboot -i)
  "$wineserver" -w  # until the prefix is written out
fi

cmake --preset windows
cmake --build --preset windows

# On every way out: stop ctest if it still runs, then the server and every program of the
# prefix. (ctest runs in the background so that a signal reaches this script at once.)
ctest_pid=
stop() {
  if [ -n "$ctest_pid" ]; then kill "$ctest_pid" 2>/dev/null || true; fi
  "$wineserver" -k 2>/dev/null || true
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# A server already running for the prefix (left over, or one that ends with its last program)
# would not stay: replace it by a persistent one.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
"$wineserver" -p
# The first program a new server runs starts Wine's own services, which inherit its standard
# handles and keep them open as long as the server lives. Were that program ctest's listing of a
# test program, ctest would wait on the open pipe until its time-out; so start them here, on
# /dev/null and from /tmp.
(cd /tmp && "$wine" cmd /c exit </dev/null >/dev/null 2>&1)

# One test at a time: under Wine the machine-wide folders (C:\ProgramData and the others) are
# the prefix's own, one set for every test program, and tests of different programs that use
# them disturb each other when run side by side.
# A test program that Wine fails to start now and then ends at once with no output at all; one
# retry of a failed case keeps that from failing the run, while a real failure fails twice.
ctest --preset windows -j1 --repeat until-pass:2 &
ctest_pid=$!
status=0
wait "$ctest_pid" || status=$?
ctest_pid=
exit $status

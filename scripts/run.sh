#!/usr/bin/env bash
# The main command: installs what is missing, builds the system for both targets
# (build/native and build/windows), then runs the tool once on a demo machine: a sandbox
# machine root (QemSystemRoot) whose cache store is seeded through the configuration database
# service's own write path, and a sandbox temporary folder that receives the log.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-packages.sh
bash scripts/build-windows-deps.sh

cmake --preset native >/dev/null
cmake --build --preset native -j2
cmake --preset windows >/dev/null
cmake --build --preset windows -j2

echo
echo "Built the native (build/native) and Windows (build/windows) targets."

demo="$(mktemp -d "${TMPDIR:-/tmp}/kelvane-demo.XXXXXX")"
trap 'rm -rf "$demo"' EXIT
mkdir -p "$demo/root" "$demo/tmp"
export QemSystemRoot="$demo/root" TMPDIR="$demo/tmp"

echo
echo "== Seeding the demo cache store in $QemSystemRoot"
build/native/tool/kelvane_demo_seed

echo
echo "== Running kelvane (standard output between the lines)"
echo "----------------------------------------"
set +e
build/native/tool/kelvane
code=$?
set -e
echo "----------------------------------------"
echo "Exit code: $code"

echo
echo "== $TMPDIR/kelvane.log"
cat "$TMPDIR/kelvane.log"

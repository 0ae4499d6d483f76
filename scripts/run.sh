#!/usr/bin/env bash
# The main command: installs what is missing and builds the system for both targets
# (build/native and build/windows). The tool itself is not part of the tree yet, so there is
# nothing to run; this says so once both builds have succeeded.
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
echo "The tool is not built yet: its libraries are in place, and there is nothing to run."

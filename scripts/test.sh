#!/usr/bin/env bash
# The test command: installs what is missing, then builds and tests all three configurations
# (native, native-sanitize, windows under Wine). Exits non-zero when any of them fails.
#
#   scripts/test.sh                 all three
#   scripts/test.sh native windows  only the named ones
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(native native-sanitize windows)

bash scripts/install-packages.sh

status=0
for config in "${configs[@]}"; do
  echo "=== $config"
  start=$SECONDS
  case "$config" in
    native|native-sanitize)
      if cmake --preset "$config" >/dev/null && cmake --build --preset "$config" -j2 &&
         ctest --preset "$config" -j2; then
        echo "=== $config: passed in $((SECONDS - start)) s"
      else
        echo "=== $config: FAILED"
        status=1
      fi
      ;;
    windows)
      if bash scripts/test-windows.sh; then
        echo "=== $config: passed in $((SECONDS - start)) s"
      else
        echo "=== $config: FAILED"
        status=1
      fi
      ;;
    *)
      echo "unknown configuration: $config" >&2
      exit 2
      ;;
  esac
done
exit $status

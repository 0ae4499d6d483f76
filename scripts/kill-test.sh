#!/usr/bin/env bash
# The kill test (POSIX): builds the native target, then runs cache_kill_test: writer processes
# that set and synchronise keys in a few shared sub-domains are killed with SIGKILL at random
# moments, hundreds of times, and every document is checked afterwards (it parses, its seal
# verifies, every write a writer journalled as finished is there). Arguments go to the program:
#
#   scripts/kill-test.sh                          500 kills, 4 writers, 3 sub-domains
#   scripts/kill-test.sh --kills 2000 --seed 7    see cache_kill_test's usage for the rest
#
# Build folder: build/native (the native preset's), or $QEM_KILL_TEST_BUILD.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-packages.sh

build="${QEM_KILL_TEST_BUILD:-build/native}"
cmake --preset native -B "$build" >/dev/null
cmake --build "$build" -j2 --target cache_kill_test

[ $# -gt 0 ] || set -- --kills 500 --writers 4 --subdomains 3
exec "$build/cache/front/cache_kill_test" "$@"

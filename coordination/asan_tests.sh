#!/usr/bin/env bash
# Builds the standalone coordinator with AddressSanitizer and
# UndefinedBehaviorSanitizer (or, with --thread, ThreadSanitizer) and runs
# the coordinator test suite against it. Any sanitizer report fails the run
# (the fixtures look for one in each server's standard error). The build has
# the test hooks (coordination/src/test_hooks.hpp) that some tests switch on,
# and every server is stopped cleanly, so LeakSanitizer checks each one as it
# exits.
#   bash coordination/asan_tests.sh [--thread] [PYTEST ARGS...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
build="$here/build-asan"
sanitize=-DKORVA_COORDINATOR_SANITIZE=ON
if [ "${1:-}" = --thread ]; then
    shift
    build="$here/build-tsan"
    sanitize=-DKORVA_COORDINATOR_TSAN=ON
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVA_COORDINATOR_TOOLS=ON -DKORVA_COORDINATOR_TEST_HOOKS=ON "$sanitize" >/dev/null
cmake --build "$build" --target korva_coordinator -j 2 >/dev/null

python="${PYTHON:-}"
if [ -z "$python" ]; then
    if [ -x "$repo/.venv312/bin/python" ]; then python="$repo/.venv312/bin/python"; else python=python3; fi
fi
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export KORVA_COORDINATOR_CMD="$build/korva_coordinator"
# Closing a server's standard input stops it cleanly (tools/main.cpp).
export KORVA_COORDINATOR_CLEAN_STOP=1
export KORVA_COORDINATOR_TEST_HOOKS=1
# Tests of resident memory skip themselves: the sanitizer keeps freed blocks
# in quarantine.
export KORVA_COORDINATOR_SANITIZED=1
cd "$repo"
exec "$python" -m pytest -q -W error -p no:cacheprovider tests/coordinator "$@"

#!/usr/bin/env bash
# Builds the request fuzzer (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for SECONDS seconds (default 30).
# Exits non-zero when the fuzzer finds a crash, leak, hang or sanitizer
# report; the reproducer is left in coordination/build-fuzz/.
# FUZZ_SEED fixes libFuzzer's random seed (default 1, so that a gate run
# from a fresh corpus walks the same inputs each time and a failure
# reproduces); FUZZ_SEED=0 draws a new seed, for open-ended runs.
set -euo pipefail
seconds="${1:-30}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="$root/build-fuzz"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVA_COORDINATOR_FUZZ=ON >/dev/null
cmake --build "$build" --target korva_coordination_fuzz -j 2 >/dev/null
mkdir -p "$build/corpus"
cd "$build"
exec ./korva_coordination_fuzz -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -max_len=65536 -dict="$here/requests.dict" -print_final_stats=1 corpus "$here/seeds"

#!/usr/bin/env bash
# Coordinator against Redis (Debian's redis-server), same load generator and
# client code for both, loopback only. Prints ops/s and p99 latency for GET
# and SET (64 B and 4 KiB values; 1, 16 and 64 connections; pipeline depth 1
# and 16), then publish/subscribe fan-out (1 publisher to 1, 8 and 32
# subscribers; 64 B and 4 KiB events; as fast as a window of 16 publishes
# allows, and again at a fixed 5000 publishes/s for latency below
# saturation), with our/Redis ratios.
#   bench/coordinator_bench.sh [SECONDS_PER_CELL]   (default 2; ~3 minutes in all)
set -euo pipefail
seconds="${1:-2}"
repo="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
token="bench-token-bench-token-bench-token-0"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

command -v redis-server >/dev/null || { echo "redis-server is not installed (scripts/apt-packages.txt)"; exit 1; }

# Our server: the standalone release build of the coordinator library.
build="$repo/coordination/build-release"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$repo/coordination" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DKORVA_COORDINATOR_TOOLS=ON >/dev/null
cmake --build "$build" --target korva_coordinator -j 2 >/dev/null
g++ -std=c++20 -O2 -Wall -Wextra -o "$work/loadgen" "$repo/bench/loadgen/loadgen.cpp"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

redis_port="$(free_port)"
redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no \
    --protected-mode yes --daemonize no >"$work/redis.log" 2>&1 &
pids+=($!)

KORVA_COORDINATION_TOKEN="$token" KORVA_COORDINATION_BIND=127.0.0.1:0 \
    "$build/korva_coordinator" >"$work/coord.out" 2>"$work/coord.err" &
pids+=($!)
for _ in $(seq 100); do
    grep -q "listening on" "$work/coord.out" 2>/dev/null && \
        redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break
    sleep 0.1
done
korva_port="$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\)/\1/p' "$work/coord.out")"
[ -n "$korva_port" ] || { echo "coordinator did not start"; cat "$work/coord.err"; exit 1; }

run() {  # run PROTO PORT ARGS... -> "rate p99"
    local proto="$1" port="$2"
    shift 2
    "$work/loadgen" --proto "$proto" --port "$port" --token "$token" --seconds "$seconds" "$@"
}

row() {  # row LABEL ARGS...
    local label="$1"
    shift
    read -r k_rate k_p99 < <(run korva "$korva_port" "$@")
    read -r r_rate r_p99 < <(run resp "$redis_port" "$@")
    awk -v l="$label" -v kr="$k_rate" -v kp="$k_p99" -v rr="$r_rate" -v rp="$r_p99" 'BEGIN {
        printf "%-30s %11.0f %9.0f %11.0f %9.0f %7.2f %7.2f\n", l, kr, kp, rr, rp, kr / rr, (rp > 0 ? kp / rp : 0) }'
}

printf "%-30s %11s %9s %11s %9s %7s %7s\n" "case" "ours/s" "p99us" "redis/s" "p99us" "x-rate" "x-p99"
for op in get set; do
    for size in 64 4096; do
        for conns in 1 16 64; do
            for depth in 1 16; do
                row "$op ${size}B c=$conns pipe=$depth" kv --op "$op" --size "$size" --conns "$conns" --depth "$depth"
            done
        done
    done
done
echo
printf "%-30s %11s %9s %11s %9s %7s %7s\n" "fan-out (events delivered)" "ours/s" "p99us" "redis/s" "p99us" "x-rate" "x-p99"
for size in 64 4096; do
    for subs in 1 8 32; do
        row "publish ${size}B subs=$subs" pubsub --subs "$subs" --size "$size" --depth 16
    done
done
echo
printf "%-30s %11s %9s %11s %9s %7s %7s\n" "fan-out at 5000 publishes/s" "ours/s" "p99us" "redis/s" "p99us" "x-rate" "x-p99"
for size in 64 4096; do
    for subs in 1 8 32; do
        row "publish ${size}B subs=$subs" pubsub --subs "$subs" --size "$size" --depth 16 --rate 5000
    done
done

#!/usr/bin/env bash
# Coordinator against Redis (Debian's redis-server), same load generator and
# client code for both, loopback only, interleaved row by row. Three parts:
#  1. GET/SET (64 B and 4 KiB values; 1, 16 and 64 connections; pipeline
#     depth 1 and 16), once with an epoll client (one thread drives every
#     connection) and once with a thread-per-connection client;
#  2. publish/subscribe fan-out (1 publisher to 1, 8 and 32 subscribers; 64 B
#     and 4 KiB events; as fast as a window of 16 publishes allows, and again
#     at a fixed 5000 publishes/s for latency below saturation);
#  3. the coordinator's resident memory after three bursts (large body lines,
#     never-reading subscribers flooded up to the global event budget,
#     unfinished bodies), at the end of each and 3 seconds later.
# Each row gives ops (or delivered events) per second, p99 latency, the
# server's CPU time per op and, where `perf` (Debian's linux-perf) can count
# them, the server's context switches per op, for both servers, and our/Redis
# ratios. A worker thread per connection sleeps whenever its client has
# nothing in flight, so its switches per op are about 1/depth; a single
# event-loop thread rarely sleeps under load. On a shared machine rates and
# latencies are noisy; CPU and switches per op are steadier.
#   bench/coordinator_bench.sh [SECONDS_PER_CELL] [ROUNDS]   (defaults 2 and 1; ~8 minutes per round)
# With several rounds every row is run that many times (ours and Redis
# alternating) and the ratios are shown as min..max.
set -euo pipefail
seconds="${1:-2}"
rounds="${2:-1}"
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
g++ -std=c++20 -O2 -Wall -Wextra -pthread -o "$work/loadgen" "$repo/bench/loadgen/loadgen.cpp"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

start_coordinator() {  # start_coordinator NAME -> sets korva_port, korva_pid
    KORVA_COORDINATION_TOKEN="$token" KORVA_COORDINATION_BIND=127.0.0.1:0 \
        "$build/korva_coordinator" >"$work/$1.out" 2>"$work/$1.err" &
    korva_pid=$!
    pids+=("$korva_pid")
    korva_port=""
    for _ in $(seq 100); do
        korva_port="$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\)/\1/p' "$work/$1.out" 2>/dev/null || true)"
        [ -n "$korva_port" ] && break
        sleep 0.1
    done
    [ -n "$korva_port" ] || { echo "coordinator did not start"; cat "$work/$1.err"; exit 1; }
}

redis_port="$(free_port)"
redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no \
    --protected-mode yes --daemonize no >"$work/redis.log" 2>&1 &
redis_pid=$!
pids+=("$redis_pid")
start_coordinator coord
for _ in $(seq 100); do
    redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break
    sleep 0.1
done

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
ticks_per_second="$(getconf CLK_TCK)"

# perf counts the threads the server starts after it attaches (the
# connections' workers) as well.
count_switches=false
perf stat -x, -e context-switches -o /dev/null true >/dev/null 2>&1 && count_switches=true

run() {  # run PROTO PORT PID ARGS... -> "rate p99 cpu_ticks switches" (switches -1 when not counted)
    local proto="$1" port="$2" pid="$3"
    shift 3
    local before after result perf_pid="" switches=-1
    if $count_switches; then
        perf stat -x, -e context-switches -p "$pid" -o "$work/switches" >/dev/null 2>&1 &
        perf_pid=$!
        sleep 0.1
    fi
    before="$(cpu_ticks "$pid")"
    result="$("$work/loadgen" --proto "$proto" --port "$port" --token "$token" --seconds "$seconds" "$@")"
    after="$(cpu_ticks "$pid")"
    if [ -n "$perf_pid" ]; then
        kill -INT "$perf_pid" 2>/dev/null || true
        wait "$perf_pid" 2>/dev/null || true
        switches="$(awk -F, '/context-switches/ && $1 ~ /^[0-9]+$/ {print $1}' "$work/switches" 2>/dev/null)"
        [ -n "$switches" ] || switches=-1
    fi
    echo "$result $((after - before)) $switches"
}

row() {  # row LABEL ARGS...
    local label="$1"
    shift
    local lines=""
    for _ in $(seq "$rounds"); do
        lines+="$(run korva "$korva_port" "$korva_pid" "$@") $(run resp "$redis_port" "$redis_pid" "$@")"$'\n'
    done
    # CPU and switches per op: server totals over the ops of the whole run
    # (the 0.3 s warm-up included, at the measured rate).
    printf "%s" "$lines" | awk -v l="$label" -v s="$seconds" -v hz="$ticks_per_second" '
        function median(a, n,   i, j, t) {
            for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j-1] > a[j]; j--) { t = a[j]; a[j] = a[j-1]; a[j-1] = t }
            return n % 2 ? a[(n+1)/2] : (a[n/2] + a[n/2+1]) / 2 }
        function per_op(count, rate) { return rate > 0 && count >= 0 ? count / (rate * (s + 0.3)) : -1 }
        function range(a, n, name,   i, lo, hi) {
            lo = hi = a[1]; for (i = 2; i <= n; i++) { if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] }
            printf "  %s %.2f..%.2f", name, lo, hi }
        NF == 8 {
            n++; kr[n] = $1; kp[n] = $2; rr[n] = $5; rp[n] = $6
            kc[n] = per_op($3 / hz * 1e6, $1); rc[n] = per_op($7 / hz * 1e6, $5)
            ks[n] = per_op($4, $1); rs[n] = per_op($8, $5)
            xr[n] = $5 > 0 ? $1 / $5 : 0; xp[n] = $6 > 0 ? $2 / $6 : 0; xc[n] = rc[n] > 0 ? kc[n] / rc[n] : 0 }
        END {
            printf "%-34s %10.0f %8.0f %6.2f %6.3f %10.0f %8.0f %6.2f %6.3f", l, median(kr, n), median(kp, n),
                   median(kc, n), median(ks, n), median(rr, n), median(rp, n), median(rc, n), median(rs, n)
            if (n == 1) printf " %6.2f %6.2f %6.2f\n", xr[1], xp[1], xc[1]
            else { range(xr, n, "rate"); range(xp, n, "p99"); range(xc, n, "cpu"); printf "\n" } }'
}

heading() {
    echo
    printf "%-34s %10s %8s %6s %6s %10s %8s %6s %6s %6s %6s %6s\n" "$1" "ours/s" "p99us" "cpuus" "sw/op" \
        "redis/s" "p99us" "cpuus" "sw/op" "x-rate" "x-p99" "x-cpu"
}

for client in epoll threads; do
    heading "get/set, $client client"
    for op in get set; do
        for size in 64 4096; do
            for conns in 1 16 64; do
                for depth in 1 16; do
                    row "$op ${size}B c=$conns pipe=$depth" kv --op "$op" --size "$size" --conns "$conns" \
                        --depth "$depth" --client "$client"
                done
            done
        done
    done
done

heading "fan-out, window of 16 (events)"
for size in 64 4096; do
    for subs in 1 8 32; do
        row "publish ${size}B subs=$subs" pubsub --subs "$subs" --size "$size" --depth 16
    done
done
heading "fan-out at 5000 publishes/s"
for size in 64 4096; do
    for subs in 1 8 32; do
        row "publish ${size}B subs=$subs" pubsub --subs "$subs" --size "$size" --depth 16 --rate 5000
    done
done

echo
echo "coordinator resident memory, KiB (a fresh server; at the end of each burst -> 3 s later)"
start_coordinator memory
"$work/loadgen" --proto korva --port "$korva_port" --token "$token" memory --pid "$korva_pid"

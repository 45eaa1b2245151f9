#!/usr/bin/env bash
# Cross-builds the standalone coordinator for 64-bit Windows with MinGW-w64
# (cmake/mingw-w64-x86_64.cmake), or takes one built already
# (KORVA_WINE_EXE, e.g. the wheels' zig build), and runs the coordinator test
# suite against it under wine. Extra arguments go to pytest.
#   bash coordination/wine_tests.sh [-k pattern]
# Tests that reach the server through POSIX-only means skip themselves there
# (tests/coordinator/server_process.py: WINDOWS_SERVER).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
build="${KORVA_WINE_BUILD:-$here/build-mingw}"

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
    else
        echo "missing Debian packages: ${need[*]}" >&2
        exit 1
    fi
fi
if command -v wine >/dev/null; then wine=(wine); else wine=(/usr/lib/wine/wine64); fi

exe="${KORVA_WINE_EXE:-}"
if [ -z "$exe" ]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DKORVA_COORDINATOR_TOOLS=ON >/dev/null
    cmake --build "$build" --target korva_coordinator -j 2 >/dev/null
    exe="$build/korva_coordinator.exe"
fi

export WINEDEBUG=-all
# The prefix is the caller's choice (WINEPREFIX; wine's default otherwise).
# No .NET or HTML engine: a new prefix would offer to download them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"
[ -z "${WINEPREFIX:-}" ] || mkdir -p "$WINEPREFIX"
# The first wine start sets up the prefix, which takes far longer than a
# server start may. A start without a token fails at once, after that.
out="$(env -u KORVA_COORDINATION_TOKEN "${wine[@]}" "$exe" </dev/null 2>&1 || true)"
case "$out" in
    *"environment variable not found"*) ;;
    *) echo "the Windows coordinator does not run under wine: $out" >&2; exit 1 ;;
esac

python="${PYTHON:-}"
if [ -z "$python" ]; then
    if [ -x "$repo/.venv312/bin/python" ]; then python="$repo/.venv312/bin/python"; else python=python3; fi
fi
export KORVA_COORDINATOR_CMD="$(printf "%q " "${wine[@]}" "$exe")"
cd "$repo"
exec "$python" -m pytest -q -W error -p no:cacheprovider -rs tests/coordinator "$@"

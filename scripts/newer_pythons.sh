#!/usr/bin/env bash
# The numeric and coordinator suites on the CPython releases after 3.13, as
# Debian unstable ships them: a minimal Debian unstable root (debootstrap)
# with python3.X and its venv package, one virtual environment per version
# holding NumPy and the test tools, the Linux x86-64 wheel installed by that
# interpreter's own pip, the suites run in the root through chroot.
#
#   scripts/newer_pythons.sh WHEEL SOURCE [GOLDEN]
#   scripts/newer_pythons.sh --prepare      (the root only)
#
# WHEEL is the manylinux x86-64 wheel, SOURCE the checkout whose tests/ run,
# GOLDEN the golden harness executable (a plain binary of this machine; the
# root's C and C++ runtimes are newer, so it runs there as it is).
#
# The root is built on first use and kept (NEWER_ROOT, by default
# /var/cache/korva-newer/sid): the base system and each version's
# environment carry a stamp naming what they hold and are redone only when
# that changes; a version's Debian packages are installed when dpkg lacks
# one. The test dependencies are wheels downloaded on this machine (its pip
# knows the network's proxy and CA) and installed offline in the root. Every
# run happens in a mount namespace of its own, so the mounts (/proc, /dev,
# /sys, the source read-only, a fresh /tmp) vanish with it even when it is
# killed, and runs on other checkouts share the root at the same time: they
# hold a shared lock, a build (only when something is missing) an exclusive
# one.
#
# Environment: NEWER_ROOT, NEWER_MIRROR (Debian mirror), NEWER_PYTHONS
# (versions, "3.14 3.15"), PIP (this machine's pip, for the downloads),
# KORVA_CANDLES_DIR (the real candles; SOURCE/../shared/data otherwise),
# PYTEST_ARGS (extra pytest arguments).
set -euo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "newer_pythons.sh: needs root (debootstrap, chroot, mounts)" >&2
  exit 1
fi
# Into a private mount namespace first: nothing mounted below leaks out.
if [ -z "${KORVA_NEWER_NS:-}" ]; then
  KORVA_NEWER_NS=1 exec unshare --mount --propagation private -- "$0" "$@"
fi

prepare_only=
if [ "${1:-}" = --prepare ]; then
  prepare_only=1
else
  [ $# -ge 2 ] || { echo "usage: $0 WHEEL SOURCE [GOLDEN] | --prepare" >&2; exit 2; }
  wheel=$(realpath "$1")
  src=$(realpath "$2")
  golden=${3:+$(realpath "$3")}
fi
root=${NEWER_ROOT:-/var/cache/korva-newer/sid}
mirror=${NEWER_MIRROR:-http://deb.debian.org/debian}
versions=${NEWER_PYTHONS:-3.14 3.15}
pip=${PIP:-pip}

# What the suites need beyond the standard library (tests/requirements.txt
# less the type checkers, which only the typecheck target runs). NumPy is
# the newest release with a wheel for the version. An optional package
# without a wheel for a version is left out: without pytest-xdist the suites
# run in one process, without dask its test skips (dask is never installed
# here: the recipe it tests is a 3.13 one).
TEST_PACKAGES="numpy pytest hypothesis"
OPTIONAL_PACKAGES="pytest-xdist"
debs() { for v in $versions; do printf 'python%s python%s-venv ' "$v" "$v"; done; }

case "$root" in /|"") echo "NEWER_ROOT must name a folder of its own" >&2; exit 1;; esac
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
  mounted=()
}
trap unmount_all EXIT
mount_in_root() {  # mount_in_root TARGET MOUNT-ARGS...
  local target=$root$1; shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}
system_mounts() {
  mount_in_root /proc -t proc proc
  mount_in_root /dev --rbind /dev
  mount_in_root /sys --rbind /sys
  mount_in_root /tmp -t tmpfs tmpfs
  # The host's resolver and CA bundle (the network's proxy re-signs TLS).
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mkdir -p "$root/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
}
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp LANG=C.UTF-8 "$@"; }
stamp_is() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }
env_stamp="$TEST_PACKAGES $OPTIONAL_PACKAGES"
# Everything a run needs is there (stamps and files only: no mounts needed).
root_ready() {
  local v
  [ -f "$root/.korva-base" ] || return 1
  for v in $versions; do
    [ -x "$root/usr/bin/python$v" ] && stamp_is "$root/opt/korva/py$v/.korva-ready" "$env_stamp" || return 1
  done
}

build_root() {
  local base_stamp=$root/.korva-base v env_dir wheels
  if [ ! -f "$base_stamp" ]; then
    echo "== building the Debian unstable root in $root (once)"
    if [ -e "$root" ]; then
      # A build that stopped half-way; nothing is mounted there outside
      # this namespace's own mounts, which are not made yet.
      if grep -q " $root/" /proc/self/mounts; then echo "$root has mounts: not removing it" >&2; exit 1; fi
      rm -rf --one-file-system "$root"
    fi
    debootstrap --variant=minbase --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
      sid "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || { tail -30 "$root.debootstrap.log"; exit 1; }
    # The archive's Release file may be older than its Valid-Until on a
    # frozen mirror; the proxy's CA is the host's bundle, which the root
    # keeps as it is (no ca-certificates package to rewrite it).
    cat >"$root/etc/apt/apt.conf.d/99korva" <<'EOF'
Acquire::Check-Valid-Until "false";
Acquire::https::CAInfo "/etc/ssl/certs/ca-certificates.crt";
APT::Install-Recommends "false";
EOF
    echo "sid minbase from $mirror" >"$base_stamp"
  fi
  system_mounts
  # Asked of dpkg itself: a run naming fewer versions leaves the others be.
  if [ "$(in_root dpkg-query -W -f='${db:Status-Status}\n' $(debs) 2>/dev/null | grep -c '^installed$')" \
       != "$(debs | wc -w)" ]; then
    echo "== installing $(debs)into the root"
    in_root apt-get -qq update
    in_root env DEBIAN_FRONTEND=noninteractive apt-get -qq install -y $(debs) >/dev/null
    in_root apt-get -qq clean
  fi
  for v in $versions; do
    env_dir=$root/opt/korva/py$v
    wheels=$root/opt/korva/wheels/$v
    stamp_is "$env_dir/.korva-ready" "$env_stamp" && continue
    echo "== CPython $v: environment with $TEST_PACKAGES $OPTIONAL_PACKAGES"
    rm -rf "$env_dir" "$wheels" && mkdir -p "$wheels"
    local have=()
    for p in $TEST_PACKAGES $OPTIONAL_PACKAGES; do
      # Wheels only: nothing may build from source in the root. (This
      # machine's pip configuration may name local indexes it then warns
      # about; those lines are dropped.)
      if "$pip" download -q --only-binary=:all: --python-version "$v" --implementation cp \
           --platform manylinux_2_28_x86_64 --platform manylinux_2_17_x86_64 -d "$wheels" "$p" \
           2> >(grep -v "^WARNING: Location 'file:" >&2); then
        have+=("$p")
      elif [[ " $OPTIONAL_PACKAGES " == *" $p "* ]]; then
        echo "no wheel of $p for CPython $v: left out"
      else
        echo "no wheel of $p for CPython $v: the suites cannot run" >&2; exit 1
      fi
    done
    in_root "python$v" -m venv "/opt/korva/py$v"
    in_root "/opt/korva/py$v/bin/pip" install -q --no-index --find-links "/opt/korva/wheels/$v" "${have[@]}"
    echo "$env_stamp" >"$env_dir/.korva-ready"
  done
  unmount_all
}

flock -s 9
if ! root_ready; then
  # Built by one process at a time, while no run uses the root.
  flock -x 9
  root_ready || build_root
  flock -s 9
fi
[ -z "$prepare_only" ] || exit 0
candles=${KORVA_CANDLES_DIR:-$src/../shared/data}

system_mounts
mount_in_root /mnt/korva/src --bind "$src"
mount -o remount,bind,ro "$root/mnt/korva/src"
have_candles=
if [ -d "$candles" ]; then
  mount_in_root /mnt/korva/candles --bind "$candles"
  mount -o remount,bind,ro "$root/mnt/korva/candles"
  have_candles=1
fi
mkdir -p "$root/tmp/korva"
cp "$wheel" "$root/tmp/korva/"
[ -n "$golden" ] && cp "$golden" "$root/tmp/korva/korva_golden"

status=0
for v in $versions; do
  py=/opt/korva/py$v/bin/python
  site=/tmp/korva/site-$v
  # The interpreter's own pip decides whether the wheel's tags fit it; the
  # module goes to a folder of this run, the cached environment stays as is.
  in_root "$py" -m pip install -q --no-index --no-deps --target "$site" "/tmp/korva/$(basename "$wheel")"
  in_root PYTHONPATH="$site" "$py" -c 'import importlib.util, sys, numpy, korva_rust
print("== CPython", sys.version.split()[0], "NumPy", numpy.__version__, "in Debian unstable:", korva_rust.__file__)
sys.exit(importlib.util.find_spec("xdist") is None)' && workers="-n 2" || workers=
  # From /tmp: hypothesis keeps its database in the working folder, which
  # the source (read-only) and the cached root must not receive.
  in_root PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 \
    ${golden:+KORVA_GOLDEN=/tmp/korva/korva_golden} ${have_candles:+KORVA_CANDLES_DIR=/mnt/korva/candles} \
    /bin/sh -c 'cd /tmp && exec "$0" "$@"' "$py" -m pytest -q -p no:cacheprovider $workers \
    ${PYTEST_ARGS:-} /mnt/korva/src/tests || { status=1; break; }
done
exit $status

#!/usr/bin/env bash
# The project's CI (.ci/run, that is `make test`) on a committed ref, in a
# Debian 12 root that holds only what a new machine of ours has before the
# project installs anything: the compilers and build tools, git and curl,
# Debian's python3 with venv, the run-time libraries of the pyenv
# interpreters, and pyenv's CPython 3.12 and 3.13 at the same path. It proves
# that the Makefile installs every Debian and PyPI package the run needs, and
# that nothing untracked in a working copy is needed.
#
#   scripts/check-fresh.sh [REF]        (or KORVA_FRESH_REF; default: main)
#
# The root is built once with debootstrap and cached (KORVA_FRESH_CACHE,
# default /var/cache/korva-fresh/bookworm); each run works in an overlay over
# it, thrown away afterwards, so the virtual environments, build folders and
# Debian packages a run installs never reach the next one. The root is
# built again when its package list below changes (or the cache folder is
# deleted); the interpreters and the machine's settings are copied in again
# when that step changes. KORVA_FRESH_CMD replaces the command run in
# the clone (default `bash .ci/run`; `make demo` is a quick smoke test).
# KORVA_FRESH_KEEP=1 keeps the run's overlay (its upper folder) afterwards.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(git -C "$here" rev-parse --show-toplevel)
# The repository itself (a linked worktree shares it): the clone can then
# check out any of its branches.
common=$(cd "$top" && cd "$(git rev-parse --git-common-dir)" && pwd)
REF=${1:-${KORVA_FRESH_REF:-main}}
CACHE=${KORVA_FRESH_CACHE:-/var/cache/korva-fresh/bookworm}
MIRROR=${KORVA_FRESH_MIRROR:-http://deb.debian.org/debian}
CMD=${KORVA_FRESH_CMD:-bash .ci/run}
# The shared candles sit beside the main checkout (../shared/data); tests
# that need them skip when they are absent.
DATA=${KORVA_FRESH_DATA:-$(dirname "$common")/../shared/data}
PYENV_VERSIONS=(3.12.1 3.13.0)

[ "$(id -u)" = 0 ] || { echo "check-fresh: needs root (debootstrap, mounts, chroot)" >&2; exit 2; }
# A mount namespace of its own: the root's mounts neither show in the
# machine's nor propagate into them, and vanish with the run at the latest.
if [ "${KORVA_FRESH_NAMESPACE:-}" != 1 ]; then
  KORVA_FRESH_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
sha=$(git -C "$top" rev-parse --verify --quiet "$REF^{commit}") || { echo "check-fresh: no commit $REF" >&2; exit 2; }

# What a new machine has before the project's set-up: the tools, and the
# shared libraries that pyenv's interpreters and their lib-dynload modules
# link (found with ldd: ssl, ffi, sqlite, zlib, bz2, lzma, readline,
# ncurses, uuid, nsl/tirpc, crypt, Kerberos, expat, Tcl/Tk with its X
# libraries).
BASE_PACKAGES=(
  build-essential cmake ninja-build git curl ca-certificates python3 python3-venv
  libssl3 libffi8 libsqlite3-0 zlib1g libbz2-1.0 liblzma5 libreadline8 libncursesw6 libtinfo6
  libexpat1 libuuid1 libnsl2 libtirpc3 libcrypt1 libgssapi-krb5-2 libtcl8.6 libtk8.6 libxss1 libxft2
)

# The machine reaches PyPI and Debian through a proxy whose certificate
# authority is in the system bundle; a new machine has that bundle, pip's
# configuration pointing at it and these variables. (Not the local wheel
# folder or the pip constraints some machines carry: the project must fetch
# and pin what it needs itself.)
CARRIED_VARS=(
  SSL_CERT_FILE SSL_CERT_DIR PIP_CERT REQUESTS_CA_BUNDLE CURL_CA_BUNDLE GIT_SSL_CAINFO NODE_EXTRA_CA_CERTS
  AWS_CA_BUNDLE HTTPLIB2_CA_CERTS NIX_SSL_CERT_FILE GRPC_DEFAULT_SSL_ROOTS_FILE_PATH
  CLOUDSDK_CORE_CUSTOM_CA_CERTS_FILE PIP_DEFAULT_TIMEOUT PIP_DISABLE_PIP_VERSION_CHECK
  PYTHONUNBUFFERED PYTHONDONTWRITEBYTECODE
)

log() { echo "check-fresh: $*"; }

# The root's packages: debootstrap runs again only when the list changes.
build_root() {
  local new=$CACHE/root.new
  command -v debootstrap >/dev/null || {
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq debootstrap >/dev/null
  }
  log "building the Debian 12 root in $CACHE (several minutes, once)"
  rm -rf "$new" "$CACHE/root" && mkdir -p "$new"
  debootstrap --variant=minbase --include="$(IFS=,; echo "${BASE_PACKAGES[*]}")" \
    bookworm "$new" "$MIRROR" > "$CACHE/debootstrap.log" 2>&1 ||
    { tail -20 "$CACHE/debootstrap.log"; log "debootstrap failed"; exit 1; }
  rm -f "$new/var/cache/apt/archives/"*.deb
  echo "${BASE_PACKAGES[*]}" > "$new/.korva-fresh-packages"
  mv "$new" "$CACHE/root"
}

# What the machine gives a new machine of its kind besides packages; applied
# again to the cached root whenever this function or the interpreters
# change.
provision() {
  local root=$CACHE/root v
  mkdir -p "$root/root/.pyenv/versions"
  for v in "${PYENV_VERSIONS[@]}"; do
    rm -rf "$root/root/.pyenv/versions/$v"
    cp -a "/root/.pyenv/versions/$v" "$root/root/.pyenv/versions/"
  done
  # The proxy's authorities as local certificates too, so that the bundle
  # keeps them when a package's installation renews it.
  cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  cp /etc/pip.conf "$root/etc/pip.conf"
  # The machine's package sources (with the updates and security suites),
  # in place of debootstrap's single line.
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
    rm -f "$root/etc/apt/sources.list"
  fi
}

provisioned=$({ declare -f provision; echo "${PYENV_VERSIONS[*]}"; } | sha256sum | cut -c1-16)
root_ready() {
  [ "$(cat "$CACHE/root/.korva-fresh-packages" 2>/dev/null)" = "${BASE_PACKAGES[*]}" ] &&
    [ "$(cat "$CACHE/root/.korva-fresh-provisioned" 2>/dev/null)" = "$provisioned" ]
}
# Runs hold the cache's lock shared while they read the root; building or
# provisioning it takes the lock alone, so it waits for the runs.
mkdir -p "$CACHE"
exec 9> "$CACHE/.lock"
flock -s 9
if ! root_ready; then
  flock -u 9
  flock 9
  [ "$(cat "$CACHE/root/.korva-fresh-packages" 2>/dev/null)" = "${BASE_PACKAGES[*]}" ] || build_root
  if ! root_ready; then
    log "provisioning the cached root"
    provision
    echo "$provisioned" > "$CACHE/root/.korva-fresh-provisioned"
  fi
  flock -s 9
fi

run=$(mktemp -d "${KORVA_FRESH_RUNS:-/var/tmp}/korva-fresh.XXXXXX")
merged=$run/root
mounts=()
cleanup() {
  local status=$? pid i
  set +e
  # Whatever the run left behind in the root (a wine server, a stray
  # server of a failed test) would keep its mounts busy.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$merged" ] && kill -9 "$pid" 2>/dev/null
  done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}"
  done
  if [ "${KORVA_FRESH_KEEP:-}" = 1 ]; then log "kept $run/upper"; else rm -rf "$run"; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$run/upper" "$run/work" "$merged"
mount -t overlay overlay -o "lowerdir=$CACHE/root,upperdir=$run/upper,workdir=$run/work" "$merged"
mounts+=("$merged")
mount -t proc proc "$merged/proc"; mounts+=("$merged/proc")
mount -t sysfs sysfs "$merged/sys"; mounts+=("$merged/sys")
for d in /dev /dev/pts /dev/shm; do
  mkdir -p "$merged$d"; mount --bind "$d" "$merged$d"; mounts+=("$merged$d")
done
cp -L /etc/resolv.conf "$merged/etc/resolv.conf"

mkdir -p "$merged/work"
git clone -q --no-hardlinks --no-checkout "$common" "$merged/work/main"
git -C "$merged/work/main" checkout -q --detach "$sha"
if [ -d "$DATA" ]; then
  mkdir -p "$merged/work/shared/data"
  mount --bind "$DATA" "$merged/work/shared/data"; mounts+=("$merged/work/shared/data")
  mount -o remount,bind,ro "$merged/work/shared/data"
else
  log "no shared data at $DATA: the tests that need it skip"
fi

env_args=(HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
for v in "${CARRIED_VARS[@]}"; do
  [ -n "${!v:-}" ] && env_args+=("$v=${!v}")
done

log "$REF ($sha) in a fresh Debian 12 root: $CMD"
start=$(date +%s)
# In the background, so that an interrupt is handled at once (bash runs a
# trap only after its foreground command ends): the trap's clean-up stops
# everything in the root.
set +e
env -i "${env_args[@]}" chroot "$merged" /bin/bash -c "cd /work/main && $CMD" 9>&- &
wait $!
status=$?
set -e
elapsed=$(($(date +%s) - start))
result=$([ $status = 0 ] && echo passed || echo "FAILED (status $status)")
log "$REF ($sha): '$CMD' $result in $((elapsed / 60)) min $((elapsed % 60)) s ($SECONDS s with the set-up)"
exit $status

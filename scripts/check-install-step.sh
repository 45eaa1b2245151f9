#!/usr/bin/env bash
# Every Debian package list, scripts/apt-packages.txt and
# scripts/apt-packages-<name>.txt, is installed by its make target (`system`,
# `system-<name>`) on a machine that lacks its packages. A machine that has
# them all cannot tell a target that installs from one that does nothing, so
# the target runs here against stand-ins for dpkg-query (answering from
# FAKE_DPKG: package=state, everything else installed), apt-get (recording
# its calls) and id (root):
#   - all installed (one of them held at its version): apt does not run;
#   - one package not installed, unknown to dpkg, removed with its
#     configuration kept, or only unpacked: apt updates and installs the
#     whole list;
# and `make -n test bench` reaches every list's target.
set -euo pipefail
cd "$(dirname "$0")/.."
# Independent of a make that runs this script (its -n, -j or -s).
unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES

fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT

cat > "$fake/dpkg-query" <<'EOF'
#!/usr/bin/env bash
# dpkg-query -W [-f FORMAT | -f=FORMAT | --showformat=FORMAT] PACKAGE...
format='${binary:Package}\t${Version}\n' packages=() status=0
while [ $# -gt 0 ]; do
  case $1 in
    -W|--show) ;;
    -f|--showformat) format=$2; shift ;;
    -f=*|--showformat=*) format=${1#*=} ;;
    -f*) format=${1#-f} ;;
    -*) echo "dpkg-query stand-in: unexpected option $1" >&2; exit 2 ;;
    *) packages+=("$1") ;;
  esac
  shift
done
for p in "${packages[@]}"; do
  state=installed
  for entry in $FAKE_DPKG; do [ "${entry%%=*}" = "$p" ] && state=${entry#*=}; done
  case $state in
    installed) abbrev='ii ' full='install ok installed' ;;
    missing) abbrev='un ' full='unknown ok not-installed' ;;
    removed) abbrev='rc ' full='deinstall ok config-files' ;;
    held) abbrev='hi ' full='hold ok installed' ;;
    half) abbrev='iU ' full='install ok unpacked' ;;
    unknown) echo "dpkg-query: no packages found matching $p" >&2; status=1; continue ;;
  esac
  out=${format//'${db:Status-Abbrev}'/$abbrev}
  out=${out//'${Status}'/$full}
  out=${out//'${binary:Package}'/$p}
  out=${out//'${Package}'/$p}
  out=${out//'${Version}'/1.0}
  printf '%b' "$out"
done
exit $status
EOF
cat > "$fake/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "$*" >> "$FAKE_APT_LOG"
EOF
cat > "$fake/id" <<'EOF'
#!/usr/bin/env bash
echo 0
EOF
chmod +x "$fake"/*

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# $1 target, $2 FAKE_DPKG: runs the target; apt's calls are then in
# $fake/apt.log.
run_target() {
  : > "$fake/apt.log"
  PATH="$fake:$PATH" FAKE_DPKG=$2 FAKE_APT_LOG="$fake/apt.log" make -s "$1" > "$fake/make.log" 2>&1 ||
    { cat "$fake/make.log"; fail "make $1 ($2) failed"; }
}

lists=(scripts/apt-packages*.txt)
for list in "${lists[@]}"; do
  name=$(basename "$list" .txt)
  target=system${name#apt-packages}
  mapfile -t packages < <(grep -v '^#' "$list" | tr -s ' \t' '\n' | grep -v '^$')
  [ ${#packages[@]} -gt 0 ] || { fail "$list lists no package"; continue; }
  first=${packages[0]} last=${packages[-1]} before=$failures

  for case in "" "$last=held"; do
    run_target "$target" "$case"
    calls=$(cat "$fake/apt.log")
    [ -z "$calls" ] || fail "make $target runs apt with every package of $list installed ($case): $calls"
  done

  for case in "$first=missing" "$last=unknown" "$first=removed" "$last=half"; do
    run_target "$target" "$case"
    calls=$(cat "$fake/apt.log")
    grep -q '\bupdate\b' <<< "$calls" || fail "make $target ($case) does not update apt's package lists"
    install=$(grep '\binstall\b' <<< "$calls" || true)
    if [ -z "$install" ]; then
      fail "make $target does not run apt-get install when $case (from $list)"
      continue
    fi
    for p in "${packages[@]}"; do
      [[ " $(echo $install) " == *" $p "* ]] || fail "make $target ($case) does not install $p of $list"
    done
  done
  [ $failures != "$before" ] ||
    echo "$list: make $target installs it when a package is missing, unknown, removed or half-installed; not when all are installed"
done

# The lists' targets must be reached by what needs them: a dry run of test and
# bench (phony targets' recipes always show) names every list.
dry=$(PATH="$fake:$PATH" make -n test bench 2>/dev/null) || { fail "make -n test bench failed"; dry=; }
for list in "${lists[@]}"; do
  grep -q -- "$list" <<< "$dry" || fail "neither make test nor make bench installs $list"
done

[ $failures = 0 ] || { echo "$failures failures"; exit 1; }
echo "every Debian package list is installed by the target that needs it"

#!/usr/bin/env bash
# The reference archives (../shared/vectors), each run through the stub's windows under Wine as
# a person would extract it, and the results compared with the archive's manifest.
#
#   tests/ui/vectors.sh STUB_AT_OFFSET DRIVER [VECTOR_NAME...]
#
# STUB_AT_OFFSET is the stub built to read the archive that follows it (the image padded to a
# fixed size, vantrel_stub_at_offset.exe): the reference archives carry a stand-in stub of
# their own, whose bytes the decoder needs, so each one runs as STUB_AT_OFFSET followed by the
# archive. DRIVER is the UI driver (tests/ui/driver.cpp) built for Windows, 32- or 64-bit.
# Without names, every vector in the folder runs; every case of its manifest is one scenario,
# and all of them run in one Wine session.
#
# Environment: WINE, the command that starts a Windows program (default wine); WINEPREFIX and
# the rest of Wine's settings as the caller has them; VANTREL_VECTORS_DIR or VECTORS_DIR, the
# reference archives (default ../shared/vectors beside the source tree);
# VANTREL_UI_WAIT_LIMIT_MS, how long the driver waits for anything (default 30 s, 5 minutes
# for a 32-bit stub, which may run under emulation);
# VANTREL_VECTORS_TIMEOUT, seconds for the whole Wine session; VANTREL_VECTORS_KEEP=1 keeps
# the work folder. When the vectors are missing this is skipped, unless CI=true.
#
# Prints "PASS  name[#case]" or "FAIL  name[#case]" with the reasons, one line a case, then
# "N passed, M failed"; exits non-zero when anything failed.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ $# -lt 2 ]; then
  echo "usage: tests/ui/vectors.sh STUB_AT_OFFSET DRIVER [VECTOR_NAME...]" >&2
  exit 2
fi
give_up() {
  echo "tests/ui/vectors.sh: $*"
  echo "0 passed, 1 failed"
  exit 1
}

vectors=${VANTREL_VECTORS_DIR:-${VECTORS_DIR:-$root/../shared/vectors}}
if [ ! -d "$vectors" ]; then
  if [ "${CI:-}" = true ]; then
    give_up "no vectors at $vectors"
  fi
  echo "skipped: no vectors at $vectors"
  exit 0
fi
vectors=$(cd "$vectors" && pwd)

[ -f "$1" ] || give_up "no stub at $1"
[ -f "$2" ] || give_up "no driver at $2"
stub=$(realpath "$1")
driver=$(realpath "$2")
shift 2

read -ra wine <<<"${WINE:-wine}"
for tool in "${wine[0]}" python3 xvfb-run timeout; do
  command -v "$tool" >/dev/null || give_up "$tool is missing"
done
prefix=${WINEPREFIX:-$HOME/.wine}
[ -d "$prefix/drive_c" ] || give_up "no Wine prefix at $prefix"

# The stub's machine, from its PE header: a 32-bit stub may run under emulation, where starting
# it alone takes a minute or more.
pe=$(od -An -tu4 -j 60 -N4 "$stub" | tr -d ' ')
machine=$(od -An -tx2 -j $((pe + 4)) -N2 "$stub" | tr -d ' ')
per_case=60
if [ "$machine" = 014c ]; then
  per_case=300
  export VANTREL_UI_WAIT_LIMIT_MS=${VANTREL_UI_WAIT_LIMIT_MS:-300000}
fi
wait_ms=${VANTREL_UI_WAIT_LIMIT_MS:-30000}

started=$(date +%s)
# The work lies on drive C: of the prefix (the stub does not take every Z: path as its
# destination).
work=$prefix/drive_c/vantrel-vectors-$$
wwork='C:\vantrel-vectors-'$$
rm -rf "$work"
mkdir -p "$work"
source "$root/scripts/wine-env.sh"   # winpath

# Every process of this run carries the tag in its environment (Wine hands it on to each
# program it starts), so what the run leaves behind can be found, and only that.
tag=vantrel-vectors-$$-$RANDOM
runner=""
has_tag() { grep -qxz "VANTREL_VECTORS_RUN=$tag" "$1/environ" 2>/dev/null; }
tagged_programs() {  # the Windows programs of this run, other than Wine's own services
  local p first name
  for p in /proc/[0-9]*; do
    has_tag "$p" || continue
    first=$(tr '\0' '\n' 2>/dev/null <"$p/cmdline" | head -n 1)
    [[ $first =~ ^[A-Za-z]:\\ ]] || continue
    name=${first##*\\}
    name=${name,,}
    case $name in
      services.exe | winedevice.exe | plugplay.exe | svchost.exe | rpcss.exe | explorer.exe | \
        start.exe | conhost.exe | wineboot.exe | winemenubuilder.exe) ;;
      *) echo "${p#/proc/} $name" ;;
    esac
  done
}
desktop_process() {  # the explorer that holds this run's desktop
  local p
  for p in /proc/[0-9]*; do
    has_tag "$p" || continue
    tr '\0' ' ' 2>/dev/null <"$p/cmdline" | grep -q "explorer.exe /desktop=$desktop," &&
      echo "${p#/proc/}"
  done
}
cleanup() {
  if [ -n "$runner" ] && kill -0 "$runner" 2>/dev/null; then
    local pid name
    while read -r pid name; do kill "$pid" 2>/dev/null; done < <(tagged_programs)
    kill "$runner" 2>/dev/null
  fi
  if [ -z "${VANTREL_VECTORS_KEEP:-}" ]; then rm -rf "$work"; else echo "work kept in $work"; fi
}
trap cleanup EXIT

count=$(python3 "$here/check_vectors.py" scenarios "$work" "$wwork" "$stub" "$vectors" \
  "$wait_ms" "$@") || give_up "cannot prepare the scenarios"
limit=${VANTREL_VECTORS_TIMEOUT:-$((120 + count * per_case))}
echo "Running $count cases from $vectors in one Wine session (at most $limit s)"

desktop=vantrel-vectors-$$
(
  export VANTREL_VECTORS_RUN=$tag
  exec timeout "$limit" xvfb-run -a -s "-screen 0 1024x768x24" "${wine[@]}" explorer \
    "/desktop=$desktop,1024x768" "$(winpath "$driver")" "$wwork\\batch.txt"
) >"$work/batch.log" 2>&1 &
runner=$!

# The driver's last scenario is an empty one: once it shows, every case is done. The session
# then ends by itself, unless a program the stub opened (notepad for a run-after .txt) still
# runs; such programs are ended here, by their process ids.
while kill -0 "$runner" 2>/dev/null && ! grep -q '^=== vectors-end' "$work/batch.log"; do
  sleep 1
done
for _ in $(seq 20); do kill -0 "$runner" 2>/dev/null || break; sleep 1; done
if kill -0 "$runner" 2>/dev/null; then
  while read -r pid name; do
    echo "note: $name (process $pid) was still running after the last case; ending it"
    kill "$pid" 2>/dev/null
  done < <(tagged_programs)
  for _ in $(seq 15); do kill -0 "$runner" 2>/dev/null || break; sleep 1; done
  if kill -0 "$runner" 2>/dev/null; then
    for pid in $(desktop_process); do
      echo "note: the desktop did not close by itself; ending its explorer (process $pid)"
      kill "$pid" 2>/dev/null
    done
  fi
fi
wait "$runner"
status=$?
if [ "$status" -eq 124 ]; then
  echo "note: the Wine session was stopped after $limit s"
  while read -r pid name; do kill "$pid" 2>/dev/null; done < <(tagged_programs)
  for pid in $(desktop_process); do kill "$pid" 2>/dev/null; done
fi
echo "Wine session done after $(($(date +%s) - started)) s"

python3 "$here/check_vectors.py" check "$work"

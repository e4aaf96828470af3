#!/usr/bin/env bash
# The whole test suite, from a fresh Debian 12 machine: set-up, the build of both sides, the
# host tests, the host tests again under AddressSanitizer and UndefinedBehaviorSanitizer, a
# short fuzzing run of the archive reader, the Windows tests under Wine in a Japanese and in an
# English locale, and the user-interface harness. Prints one line per stage and exits non-zero
# when any stage failed.
#
# Environment: VANTREL_BUILD_DIR (default build), VANTREL_SANITIZE_DIR (default
# build-sanitize) and VANTREL_FUZZ_DIR (default: the build folder's name with -fuzz), relative
# to the source tree or absolute; VANTREL_JOBS (default: cores).
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
abs() { case "$1" in /*) echo "$1" ;; *) echo "$ROOT/$1" ;; esac; }
BUILD="$(abs "${VANTREL_BUILD_DIR:-build}")"
SANITIZE="$(abs "${VANTREL_SANITIZE_DIR:-build-sanitize}")"
JOBS="${VANTREL_JOBS:-$(nproc)}"
LOGS="$BUILD/test-logs"
# For tests/ui/run.sh: where the programs are.
export VANTREL_BUILD_DIR="$BUILD" VANTREL_WIN_BUILD_DIR="$BUILD/win"

# CI may start us without HOME.
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vantrel}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

started=$SECONDS
summary=()
failed=0

# stage NAME COMMAND...: runs the command with its output in $LOGS/NAME.log, records the
# outcome and a short note (the test count when the log has one).
stage() {
  local name="$1"; shift
  local log="$LOGS/$name.log" t0=$SECONDS rc note
  echo "==> $name"
  "$@" >"$log" 2>&1
  rc=$?
  note="$(count_of "$log")"
  if [ $rc -eq 0 ]; then
    summary+=("$(printf 'PASS  %-16s %4ss  %s' "$name" $((SECONDS - t0)) "$note")")
  else
    failed=1
    summary+=("$(printf 'FAIL  %-16s %4ss  %s (log: %s)' "$name" $((SECONDS - t0)) "$note" "$log")")
    echo "---- $name failed (exit $rc); the end of $log:"
    tail -n 40 "$log"
    echo "----"
  fi
  return $rc
}

skip() {
  summary+=("$(printf 'SKIP  %-16s        %s' "$1" "$2")")
  failed=1
}

# The tests counted in a log: ctest's or GoogleTest's own line.
count_of() {
  local line
  line="$(grep -E 'tests passed, [0-9]+ tests failed out of|^\[==========\] [0-9]+ tests? from|^[0-9]+ passed, [0-9]+ failed$' "$1" | tail -n 1)"
  case "$line" in
    *"failed out of"*)
       local nf total
       nf="$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')"
       total="$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')"
       echo "ctest: $((total - nf)) of $total passed, $nf failed" ;;
    "") ;;
    [0-9]*" passed, "*) echo "$line" ;;
    *) local passed failedn
       passed="$(grep -E '^\[  PASSED  \] [0-9]+' "$1" | tail -n 1 | grep -oE '[0-9]+' | head -n 1)"
       failedn="$(grep -E '^\[  FAILED  \] [0-9]+ tests?, listed' "$1" | tail -n 1 | grep -oE '[0-9]+' | head -n 1)"
       echo "gtest: ${passed:-0} passed, ${failedn:-0} failed" ;;
  esac
}

mkdir -p "$LOGS"

# Set-up must succeed before anything else can run.
if [ "${VANTREL_SKIP_SETUP:-}" != 1 ]; then
  stage setup bash scripts/setup.sh || { printf '%s\n' "${summary[@]}"; exit 1; }
fi

build_main() {
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release && cmake --build "$BUILD" -j "$JOBS"
}
build_sanitize() {
  # -O1 with line tables: readable reports at a fraction of the compile time of -O2 -g.
  cmake -S . -B "$SANITIZE" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DVANTREL_SANITIZE=ON \
        -DVANTREL_WINDOWS=OFF -DVANTREL_STUB_FILE="$BUILD/win/vantrel_stub.exe" &&
    cmake --build "$SANITIZE" -j "$JOBS"
}
# The stub is exactly stub_size bytes and starts under Wine: a bare stub shows its window and
# waits, so it must still be running after a few seconds (and is then ended).
check_stub() {
  local stub="$BUILD/win/vantrel_stub.exe" want size
  want="$(grep -oE 'stub_size = [0-9]+' app/stub_size.h | grep -oE '[0-9]+')"
  size="$(stat -c %s "$stub")" || return 1
  echo "stub: $size bytes (stub_size $want)"
  [ "$size" = "$want" ] || { echo "stub has the wrong size"; return 1; }
  local copy="$BUILD/test-logs/bare_stub.exe"
  cp "$stub" "$copy"
  xvfb-run -a bash -c '
    wine "$1" & pid=$!
    sleep 8
    if kill -0 $pid 2>/dev/null; then
      echo "stub: running after 8 s"; kill $pid; wait $pid 2>/dev/null; exit 0
    fi
    wait $pid; rc=$?
    echo "stub: ended within 8 s with exit code $rc"; exit 1' _ "$copy"
}
wine_tests() {
  local lang="$1" acp="$2"
  # A hang must not hold the suite: the whole program gets 30 minutes.
  LANG="$lang" LC_ALL="$lang" VANTREL_EXPECT_ACP="$acp" \
    timeout -k 30 1800 xvfb-run -a wine "$BUILD/win/vantrel_tests_win.exe" --gtest_color=no
}

if stage build build_main; then
  stage host-tests ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"
  stage stub check_stub
  built=1
else
  skip host-tests "no build"
  skip stub "no build"
  built=0
fi

if [ $built = 1 ] && stage sanitize-build build_sanitize; then
  stage sanitize-tests ctest --test-dir "$SANITIZE" --output-on-failure -j "$JOBS"
else
  skip sanitize-tests "no build"
fi

# A short, repeatable fuzzing run of the archive reader (see scripts/fuzz.sh).
export VANTREL_FUZZ_DIR="${VANTREL_FUZZ_DIR:-$BUILD-fuzz}"
stage fuzz bash scripts/fuzz.sh

if [ $built = 1 ]; then
  stage wine-ja wine_tests ja_JP.UTF-8 932
  stage wine-en wine_tests C.UTF-8 1252
  if [ -f tests/ui/run.sh ]; then
    stage ui-harness bash tests/ui/run.sh
  fi
else
  skip wine-ja "no build"
  skip wine-en "no build"
fi

echo
echo "==== Summary ($((SECONDS - started)) s in all; logs in $LOGS)"
printf '%s\n' "${summary[@]}"
if [ $failed -ne 0 ]; then
  echo "==== FAILED"
  exit 1
fi
echo "==== ALL PASSED"

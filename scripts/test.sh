#!/usr/bin/env bash
# The whole test suite, from a fresh Debian 12 machine: set-up, the build of both sides, the
# host tests, the host tests again under AddressSanitizer and UndefinedBehaviorSanitizer, a
# short fuzzing run of each fuzzing harness, the Windows tests under Wine in a Japanese and in an
# English locale, the user-interface harness, and the stub over the reference archives. Prints
# one line per stage and exits non-zero when any stage failed.
#
# The Windows stages follow the machine (scripts/machine.sh):
#   every machine   the Windows tests as 64-bit programs under wine64 (wine64-ja, wine64-en), in
#                   an ordinary build and in the stub's configuration
#   native          the same tests as 32-bit programs (wine-ja, wine-en); the whole harness
#                   against the real stub (ui-harness); the stub's i686 build over every
#                   reference archive (stub-vectors)
#   emulated        the whole harness against the stub's 64-bit build (ui-harness); the real
#                   stub's smoke set under emulation (stub-smoke); every reference archive
#                   through the 64-bit build and three through the i686 one (stub-vectors)
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

# The Wine set-ups (scripts/wine-env.sh), and how this machine runs 32-bit programs: natively,
# or under emulation (scripts/machine.sh; VANTREL_EMULATE_32=1 takes that path anywhere).
source scripts/wine-env.sh
KIND="$(scripts/machine.sh)"

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
    # A stage may run several harnesses or test programs: their counts are added up.
    [0-9]*" passed, "*)
       grep -E '^[0-9]+ passed, [0-9]+ failed$' "$1" |
         awk '{p += $1; f += $3} END {print p " passed, " f " failed"}' ;;
    *) local passed failedn
       passed="$(grep -E '^\[  PASSED  \] [0-9]+' "$1" | awk '{n += $4} END {print n + 0}')"
       failedn="$(grep -E '^\[  FAILED  \] [0-9]+ tests?, listed' "$1" | awk '{n += $4} END {print n + 0}')"
       echo "gtest: $passed passed, $failedn failed" ;;
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
# The stub is exactly stub_size bytes and starts under Wine: a bare stub shows its window, with
# its extract button disabled, and closes when asked.
check_stub() {
  local stub="$BUILD/win/vantrel_stub.exe" want size
  want="$(grep -oE 'stub_size = [0-9]+' app/stub_size.h | grep -oE '[0-9]+')"
  size="$(stat -c %s "$stub")" || return 1
  echo "stub: $size bytes (stub_size $want)"
  [ "$size" = "$want" ] || { echo "stub has the wrong size"; return 1; }
  if [ "$KIND" = native ]; then
    vantrel_wine 32
    VANTREL_UI_DRIVER="$BUILD/win/vantrel_ui_driver.exe" tests/ui/start_stub.sh "$stub"
  else
    vantrel_wine 64
    echo "stub: 32-bit programs run under emulation here"
    VANTREL_UI_DRIVER="$BUILD/win64/vantrel_ui_driver.exe" tests/ui/start_stub.sh "$stub"
  fi
}
# The Windows test programs of one build (win or win64) in one locale: the ordinary build and
# the one in the stub's configuration. A hang must not hold the suite: each gets 30 minutes.
wine_tests() {
  local bits="$1" lang="$2" acp="$3" dir="$BUILD/win" rc=0 program
  [ "$bits" = 64 ] && dir="$BUILD/win64"
  vantrel_wine "$bits"
  for program in vantrel_tests_win vantrel_tests_win_compact; do
    echo "==== $dir/$program.exe ($lang)"
    LANG="$lang" LC_ALL="$lang" VANTREL_EXPECT_ACP="$acp" \
      timeout -k 30 1800 xvfb-run -a "$WINE" "$dir/$program.exe" --gtest_color=no || rc=1
  done
  return $rc
}
# The tool's tests (tests/cli) against vantrel.exe under wine64 in one locale: the same suite as
# on the host, through tests/cli/vantrel_wine.sh; the cases about what only Linux has (signals
# other than SIGINT, permissions, typing at a prompt) skip, saying why.
tool_wine_tests() {
  local lang="$1"
  vantrel_wine 64
  LANG="$lang" LC_ALL="$lang" VANTREL_TEST_TOOL="$ROOT/tests/cli/vantrel_wine.sh" \
    VANTREL_TOOL_EXE="$BUILD/win64/vantrel.exe" \
    timeout -k 30 900 "$BUILD/vantrel_cli_tests" --gtest_color=no
}
# The user-interface harness: against the real stub where 32-bit programs run natively, else
# against the stub's 64-bit build.
ui_harness() {
  if [ "$KIND" = native ]; then
    vantrel_wine 32
    VANTREL_UI_DRIVER="$BUILD/win/vantrel_ui_driver.exe" bash tests/ui/run.sh "$BUILD"
  else
    vantrel_wine 64
    VANTREL_UI_DRIVER="$BUILD/win64/vantrel_ui_driver.exe" \
      VANTREL_UI_STUB_AT_OFFSET="$BUILD/win64/vantrel_stub_at_offset.exe" \
      bash tests/ui/run.sh "$BUILD"
  fi
}
# Where 32-bit programs are emulated: the real stub's smoke set, in the 64-bit prefix's 32-bit
# half. Every wait of the driver may last ten minutes there.
stub_smoke() {
  vantrel_wine 64
  VANTREL_UI_DRIVER="$BUILD/win64/vantrel_ui_driver.exe" VANTREL_UI_SMOKE=1 VANTREL_UI_BATCH_LIMIT=2400 \
    VANTREL_UI_WAIT_LIMIT_MS=600000 bash tests/ui/run.sh "$BUILD"
}
# The stub over the reference archives, compared with their manifests.
stub_vectors() {
  if [ "$KIND" = native ]; then
    vantrel_wine 32
    bash tests/ui/vectors.sh "$BUILD/win/vantrel_stub_at_offset.exe" \
      "$BUILD/win/vantrel_ui_driver.exe"
  else
    vantrel_wine 64
    echo "==== every reference archive through the stub's 64-bit build"
    bash tests/ui/vectors.sh "$BUILD/win64/vantrel_stub_at_offset.exe" \
      "$BUILD/win64/vantrel_ui_driver.exe" || return 1
    echo "==== three through the stub's i686 build, under emulation"
    VANTREL_UI_WAIT_LIMIT_MS=600000 bash tests/ui/vectors.sh \
      "$BUILD/win/vantrel_stub_at_offset.exe" "$BUILD/win64/vantrel_ui_driver.exe" \
      name_reuse folders password_cp932_flag254
  fi
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

# A short, repeatable fuzzing run of each harness: the archive reader, a pack and extraction
# round trip, `list --json` (see scripts/fuzz.sh).
export VANTREL_FUZZ_DIR="${VANTREL_FUZZ_DIR:-$BUILD-fuzz}"
stage fuzz bash scripts/fuzz.sh

if [ $built = 1 ]; then
  stage wine64-ja wine_tests 64 ja_JP.UTF-8 932
  stage wine64-en wine_tests 64 C.UTF-8 1252
  stage tool-wine64-ja tool_wine_tests ja_JP.UTF-8
  stage tool-wine64-en tool_wine_tests C.UTF-8
  if [ "$KIND" = native ]; then
    stage wine-ja wine_tests 32 ja_JP.UTF-8 932
    stage wine-en wine_tests 32 C.UTF-8 1252
  fi
  stage ui-harness ui_harness
  [ "$KIND" = emulated ] && stage stub-smoke stub_smoke
  stage stub-vectors stub_vectors
else
  skip wine64-ja "no build"
  skip wine64-en "no build"
  skip tool-wine64-ja "no build"
  skip tool-wine64-en "no build"
  skip ui-harness "no build"
fi

echo
echo "==== Summary ($((SECONDS - started)) s in all, 32-bit programs $KIND; logs in $LOGS)"
printf '%s\n' "${summary[@]}"
if [ $failed -ne 0 ]; then
  echo "==== FAILED"
  exit 1
fi
echo "==== ALL PASSED"

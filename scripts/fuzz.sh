#!/usr/bin/env bash
# Fuzzes with libFuzzer: builds the harnesses (tests/fuzz/) with clang in a folder of their own,
# seeds them and runs them.
#
#   scripts/fuzz.sh [extract|roundtrip|list|all] [libFuzzer options...]
#
# The targets:
#   extract    the archive reader: preamble, blocks, member records, names, decoder
#              (tests/fuzz/extract_fuzz.cpp); seeded from the reference archives
#   roundtrip  a small tree packed by the packer and extracted by the engine must come back
#              exactly, and nothing beside the destination (tests/fuzz/roundtrip_fuzz.cpp)
#   list       the tool's `list --json`: its output always parses as JSON and agrees with
#              itself (tests/fuzz/list_fuzz.cpp); seeded from the reference archives
# Without a target name, all three run, one after the other.
#
# Without options each target first runs the reproducers of earlier findings
# (tests/fuzz/regressions/TARGET/), then tries a few thousand inputs from a fixed seed,
# starting from its seeds alone: the test suite's short, repeatable run. With options (for
# instance -max_total_time=3600, the time each target runs) it searches for as long as they
# say and keeps what it learns in $VANTREL_FUZZ_DIR/corpus/TARGET for the next run.
#
# Environment: VANTREL_FUZZ_DIR (default build-fuzz), relative to the source tree or absolute;
# VANTREL_JOBS (default: cores); VANTREL_FUZZ_TMP, where the harnesses write their archives and
# trees (default: /dev/shm where it can be written, else TMPDIR or /tmp). Findings (crash-*,
# timeout-*, oom-*) are written to $VANTREL_FUZZ_DIR/findings/TARGET/, and the exit code is
# then non-zero.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
abs() { case "$1" in /*) echo "$1" ;; *) echo "$ROOT/$1" ;; esac; }
DIR="$(abs "${VANTREL_FUZZ_DIR:-build-fuzz}")"
JOBS="${VANTREL_JOBS:-$(nproc)}"
VECTORS="$ROOT/../shared/vectors"

targets=(extract roundtrip list)
case "${1:-}" in
  extract | roundtrip | list) targets=("$1"); shift ;;
  all) shift ;;
  -*|"") ;;
  *) echo "fuzz.sh: unknown target '$1' (extract, roundtrip, list or all)" >&2; exit 2 ;;
esac

if [ -z "${VANTREL_FUZZ_TMP:-}" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then VANTREL_FUZZ_TMP=/dev/shm; else VANTREL_FUZZ_TMP="${TMPDIR:-/tmp}"; fi
fi
export TMPDIR="$VANTREL_FUZZ_TMP"

cmake -S . -B "$DIR" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DVANTREL_FUZZ=ON -DVANTREL_WINDOWS=OFF
cmake --build "$DIR" -j "$JOBS" --target "${targets[@]/#/vantrel_fuzz_}"

# Each reference archive gives two seeds, one of each form the archive harnesses read (see
# tests/fuzz/fuzz_archive.h): the payload after the stub as it stands, and the content of its
# block stream.
seeds="$DIR/seeds"
rm -rf "$seeds"
mkdir -p "$seeds"
python3 - "$VECTORS" "$seeds" <<'PY'
import glob, os, sys
vectors, seeds = sys.argv[1], sys.argv[2]
stub_size, block = 26112, 4098
for path in sorted(glob.glob(os.path.join(vectors, "*.exe"))):
    data = open(path, "rb").read()
    name = os.path.basename(path)[:-4]
    open(os.path.join(seeds, name + ".payload"), "wb").write(b"\x01" + data[stub_size:])
    at = stub_size + 4
    at = data.index(b"\0", at) + 1          # message text
    at = data.index(b"\0", at) + 1          # program to open afterwards
    flag = data[at]
    at += 1 + (2 if flag else 0)
    content = bytearray()
    while at < len(data):
        content += data[at:at + block][:-2]  # without the two check bytes
        at += block
    open(os.path.join(seeds, name + ".content"), "wb").write(b"\x00" + bytes(content))
PY

status=0
for target in "${targets[@]}"; do
  harness="$DIR/vantrel_fuzz_$target"
  findings="$DIR/findings/$target"
  mkdir -p "$findings"
  options=(-rss_limit_mb=4096 -timeout=20 -artifact_prefix="$findings/")
  case "$target" in
    # The tree is drawn from the input; a few KiB reach every choice it makes.
    roundtrip) options+=(-max_len=8192 -len_control=0); target_seeds=(); runs=4000 ;;
    *) options+=(-max_len=400000); target_seeds=("$seeds"); runs=4000 ;;
  esac
  echo "fuzz.sh: $target"
  if [ $# -eq 0 ]; then
    regressions="$ROOT/tests/fuzz/regressions/$target"
    if compgen -G "$regressions/*" > /dev/null; then
      "$harness" "${options[@]}" "$regressions"/* || status=1
    fi
    corpus="$(mktemp -d)"
    "$harness" "${options[@]}" -runs=$runs -seed=1 "$corpus" "${target_seeds[@]}" || status=1
    rm -rf "$corpus"
  else
    mkdir -p "$DIR/corpus/$target"
    "$harness" "${options[@]}" "$@" "$DIR/corpus/$target" "${target_seeds[@]}" || status=1
  fi
done
exit $status

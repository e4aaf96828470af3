#!/usr/bin/env bash
# Fuzzes the archive reader with libFuzzer (tests/fuzz/extract_fuzz.cpp): builds the harness
# with clang in a folder of its own, seeds it from the reference archives and runs it.
#
#   scripts/fuzz.sh [libFuzzer options...]
#
# Without options it tries 4000 inputs from a fixed seed, starting from the reference archives
# alone: the test suite's short, repeatable run. With options (for instance
# -max_total_time=1800) it searches for as long as they say and keeps what it learns in
# $VANTREL_FUZZ_DIR/corpus for the next run.
#
# Environment: VANTREL_FUZZ_DIR (default build-fuzz), relative to the source tree or absolute;
# VANTREL_JOBS (default: cores). Findings (crash-*, timeout-*, oom-*) are written to
# $VANTREL_FUZZ_DIR/findings/, and the exit code is then non-zero.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
abs() { case "$1" in /*) echo "$1" ;; *) echo "$ROOT/$1" ;; esac; }
DIR="$(abs "${VANTREL_FUZZ_DIR:-build-fuzz}")"
JOBS="${VANTREL_JOBS:-$(nproc)}"
VECTORS="$ROOT/../shared/vectors"

cmake -S . -B "$DIR" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DVANTREL_FUZZ=ON -DVANTREL_WINDOWS=OFF
cmake --build "$DIR" --target vantrel_fuzz_extract -j "$JOBS"

# Each reference archive gives two seeds, one of each form the harness reads (see there): the
# payload after the stub as it stands, and the content of its block stream.
seeds="$DIR/seeds"
rm -rf "$seeds"
mkdir -p "$seeds" "$DIR/findings"
python3 - "$VECTORS" "$seeds" <<'EOF'
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
EOF

options=(-max_len=400000 -rss_limit_mb=4096 -timeout=20 -artifact_prefix="$DIR/findings/")
if [ $# -eq 0 ]; then
  corpus="$(mktemp -d)"
  trap 'rm -rf "$corpus"' EXIT
  "$DIR/vantrel_fuzz_extract" "${options[@]}" -runs=4000 -seed=1 "$corpus" "$seeds"
else
  mkdir -p "$DIR/corpus"
  "$DIR/vantrel_fuzz_extract" "${options[@]}" "$@" "$DIR/corpus" "$seeds"
fi

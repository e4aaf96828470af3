#!/usr/bin/env bash
# What a person waits for: the real stub extracting a tree through its window under Wine,
# side by side with NSIS self-extractors of the same tree (zlib and lzma, both solid), in one
# run, every program and its wineserver pinned to one CPU, output on tmpfs and compared with
# the source after every run.
#
#   bench/whole_run.sh [--dir TREE] [--runs N] [--build BUILD_DIR] [--compare BUILD_DIR]
#                      [--out REPORT.md]
#
# TREE defaults to /usr/include, the benchmark's header tree (regular files only; symbolic
# links are left out, and of names that differ only in case the first in sorted order is
# kept, since a Windows folder cannot hold both). RUNS defaults to 5. --compare measures the
# stub of a second build (its own vantrel packs its archive, since the stub's bytes are part of
# what the archive refers to) in the same runs, as "stub-b".
#
# The clocks:
#   stub   from the click on "解凍" to the moment the closing box appears (the driver's mark
#          and elapsed_to_box), so Wine's start-up is not counted;
#   NSIS   the whole silent run (/S /D=...) less the median of the same run of an installer
#          that holds one small file, which is what starting it costs.
# Reports medians, the spread (lowest and highest), stub / NSIS ratios both of the medians and
# as the median of each run's own ratio (steadier when the machine is shared), and the kind of
# machine: where 32-bit programs run under emulation, only the ratios mean anything.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tree_source=/usr/include
runs=5
build="$ROOT/build"
compare=""
report=""
while [ $# -gt 0 ]; do
  case "$1" in
    --dir) tree_source="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --build) build="$(realpath "$2")"; shift 2 ;;
    --compare) compare="$(realpath "$2")"; shift 2 ;;
    --out) report="$(realpath -m "$2")"; shift 2 ;;
    -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "whole_run: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

source "$ROOT/scripts/wine-env.sh"
kind="$("$ROOT/scripts/machine.sh")"
if [ "$kind" = native ]; then
  vantrel_wine 32
  driver="$build/win/vantrel_ui_driver.exe"
else
  vantrel_wine 64
  driver="$build/win64/vantrel_ui_driver.exe"
fi
stub="$build/win/vantrel_stub.exe"
tool="$build/vantrel"
for f in "$driver" "$stub" "$tool" ${compare:+"$compare/vantrel" "$compare/win/vantrel_stub.exe"}; do
  [ -f "$f" ] || { echo "whole_run: $f is missing (build first)" >&2; exit 1; }
done
command -v makensis >/dev/null || { echo "whole_run: makensis is missing (scripts/setup.sh)" >&2; exit 1; }

# One virtual display for the whole run, left free to use any CPU: it stands for the system's
# own drawing, which is not the program's.
if [ -z "${VANTREL_WHOLE_RUN_DISPLAY:-}" ]; then
  args=(--dir "$tree_source" --runs "$runs" --build "$build")
  [ -n "$report" ] && args+=(--out "$report")
  [ -n "$compare" ] && args+=(--compare "$compare")
  exec env VANTREL_WHOLE_RUN_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "${args[@]}"
fi

work=/dev/shm/vantrel-whole-run
rm -rf "$work"
mkdir -p "$work"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

echo "== the tree: $tree_source"
python3 - "$tree_source" "$work/tree" <<'EOF'
import os, shutil, sys
source, target = sys.argv[1], sys.argv[2]
kept = skipped = 0
for folder, dirs, files in os.walk(source):
    dirs.sort()
    seen = set()
    relative = os.path.relpath(folder, source)
    out = os.path.join(target, relative) if relative != "." else target
    os.makedirs(out, exist_ok=True)
    keep_dirs = []
    for d in dirs:
        if os.path.islink(os.path.join(folder, d)) or d.lower() in seen:
            skipped += 1
            continue
        seen.add(d.lower())
        keep_dirs.append(d)
    dirs[:] = keep_dirs
    for name in sorted(files):
        path = os.path.join(folder, name)
        if os.path.islink(path) or not os.path.isfile(path) or name.lower() in seen:
            skipped += 1
            continue
        seen.add(name.lower())
        shutil.copy2(path, os.path.join(out, name))
        kept += 1
print(f"{kept} files kept, {skipped} links or case-clashing names left out")
EOF
files=$(find "$work/tree" -type f | wc -l)
bytes=$(du -sb "$work/tree" | cut -f1)

echo "== packing"
"$tool" pack -q -o "$work/vantrel.exe" -C "$work/tree" .
[ -n "$compare" ] && "$compare/vantrel" pack -q -o "$work/vantrel-b.exe" -C "$work/tree" .
mkdir -p "$work/one"
echo x >"$work/one/x.txt"
nsis() {  # NAME COMPRESSOR SOURCE
  cat >"$work/$1.nsi" <<NSI
Unicode true
SetCompressor /SOLID $2
SilentInstall silent
RequestExecutionLevel user
OutFile "$work/$1.exe"
InstallDir "C:\\vantrel-unused"
Section
  SetOutPath "\$INSTDIR"
  File /r "$3/*"
SectionEnd
NSI
  makensis -V1 "$work/$1.nsi"
}
nsis nsis-zlib zlib "$work/tree"
nsis nsis-lzma lzma "$work/tree"
nsis nsis-empty zlib "$work/one"

# Every Windows program of the run and its wineserver on CPU 0.
wineserver -k 2>/dev/null || true
taskset -c 0 wineserver -p
pin=(taskset -c 0)

script="$work/driver.txt"
run_stub() {  # ARCHIVE DEST -> prints ms
  cat >"$script" <<SCRIPT
scenario whole run
start $(winpath "$1")
window
type folder_edit $(winpath "$2")
mark
click extract_button
box owned information ok ok ファイルの解凍が終わりました。
elapsed_to_box stub
exit 0
SCRIPT
  # The transcript goes to a file: Wine's services, started by the first program, outlive it
  # under the persistent wineserver and would hold a pipe open.
  local log
  VANTREL_UI_WAIT_LIMIT_MS=1800000 "${pin[@]}" "$WINE" explorer "/desktop=vantrel-bench,1024x768" \
    "$(winpath "$driver")" "$(winpath "$script")" >"$work/driver.log" 2>&1 </dev/null || true
  log=$(tr -d '\r' <"$work/driver.log")
  grep -q '^PASS ' <<<"$log" || { echo "$log" >&2; return 1; }
  grep -oE '^time stub: [0-9]+' <<<"$log" | grep -oE '[0-9]+$'
}
run_nsis() {  # NAME DEST -> prints ms
  local t0 t1
  t0=$(date +%s%N)
  "${pin[@]}" "$WINE" "$work/$1.exe" /S "/D=$(winpath "$2")" >/dev/null 2>&1 </dev/null
  t1=$(date +%s%N)
  echo $(((t1 - t0) / 1000000))
}
check_same() {  # DEST TREE
  diff -r "$1" "$2" >/dev/null || { echo "whole_run: $1 differs from the source" >&2; return 1; }
}

declare -A times
programs=(stub nsis-zlib nsis-lzma nsis-empty)
[ -n "$compare" ] && programs=(stub stub-b nsis-zlib nsis-lzma nsis-empty)
for ((r = 1; r <= runs; r++)); do
  line="run $r:"
  for p in "${programs[@]}"; do
    dest="$work/out-$p"
    rm -rf "$dest"
    mkdir -p "$dest"
    case $p in
      stub) ms=$(run_stub "$work/vantrel.exe" "$dest") ;;
      stub-b) ms=$(run_stub "$work/vantrel-b.exe" "$dest") ;;
      *) ms=$(run_nsis "$p" "$dest") ;;
    esac
    if [ "$p" = nsis-empty ]; then check_same "$dest" "$work/one"; else check_same "$dest" "$work/tree"; fi
    rm -rf "$dest"
    times[$p]+="$ms "
    line+=" $p ${ms} ms"
  done
  echo "$line"
done

python3 - "$kind" "$files" "$bytes" "$runs" "$report" \
  "$(stat -c %s "$work/vantrel.exe")" "$(stat -c %s "$work/nsis-zlib.exe")" \
  "$(stat -c %s "$work/nsis-lzma.exe")" \
  "${times[stub]}" "${times[nsis-zlib]}" "${times[nsis-lzma]}" "${times[nsis-empty]}" \
  "${times[stub-b]:-}" "$compare" <<'EOF'
import statistics, sys, platform
kind, files, size, runs, report = sys.argv[1:6]
sizes = dict(zip(["vantrel", "nsis-zlib", "nsis-lzma"], map(int, sys.argv[6:9])))
raw = dict(zip(["stub", "nsis-zlib", "nsis-lzma", "nsis-empty", "stub-b"],
               [list(map(int, s.split())) for s in sys.argv[9:14]]))
compare = sys.argv[14]
start = statistics.median(raw["nsis-empty"])
work = {"stub": raw["stub"],
        "nsis-zlib": [t - start for t in raw["nsis-zlib"]],
        "nsis-lzma": [t - start for t in raw["nsis-lzma"]]}
if compare:
    work["stub-b"] = raw["stub-b"]
def per_run(a, b):
    return statistics.median(x / y for x, y in zip(work[a], work[b]))
cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
med = {k: statistics.median(v) for k, v in work.items()}
lines = [
    f"Whole run: {files} files, {int(size) / 1e6:.1f} MB; {runs} runs; 32-bit programs {kind}; {cpu}",
    "",
    "| program | archive bytes | median ms | lowest | highest |",
    "|---|---|---|---|---|",
    f"| vantrel stub (click to closing box) | {sizes['vantrel']} | {med['stub']:.0f} | {min(work['stub'])} | {max(work['stub'])} |",
    f"| NSIS zlib solid (run less start-up) | {sizes['nsis-zlib']} | {med['nsis-zlib']:.0f} | {min(work['nsis-zlib'])} | {max(work['nsis-zlib'])} |",
    f"| NSIS lzma solid (run less start-up) | {sizes['nsis-lzma']} | {med['nsis-lzma']:.0f} | {min(work['nsis-lzma'])} | {max(work['nsis-lzma'])} |",
]
if compare:
    lines.append(f"| stub-b: {compare} | | {med['stub-b']:.0f} | {min(work['stub-b'])} | {max(work['stub-b'])} |")
lines += [
    "",
    f"NSIS start-up (one small file): median {start:.0f} ms.",
    f"Ratio stub / NSIS zlib: {med['stub'] / med['nsis-zlib']:.2f} (median of the runs' own: {per_run('stub', 'nsis-zlib'):.2f}); "
    f"stub / NSIS lzma: {med['stub'] / med['nsis-lzma']:.2f} (runs' own: {per_run('stub', 'nsis-lzma'):.2f}).",
]
if compare:
    lines.append(f"Ratio stub-b / stub: {med['stub-b'] / med['stub']:.2f} (runs' own: {per_run('stub-b', 'stub'):.2f}); "
                 f"stub-b / NSIS zlib: {med['stub-b'] / med['nsis-zlib']:.2f} (runs' own: {per_run('stub-b', 'nsis-zlib'):.2f}).")
if kind != "native":
    lines.append("32-bit programs ran under emulation: the times are not the programs' own; only the ratios count.")
text = "\n".join(lines)
print(text)
if report:
    open(report, "w").write(text + "\n")
EOF

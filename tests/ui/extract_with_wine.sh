#!/usr/bin/env bash
# Extracts a self-extracting archive the way a person does: runs it under Wine on a virtual
# display, types DEST into its destination field, clicks "解凍", waits for the finished box
# and answers it. Prints the driver's transcript; fails when anything differs.
#
#   tests/ui/extract_with_wine.sh ARCHIVE DEST [BUILD_DIR]
#
# DEST must not exist yet (the program then asks whether to create it, and is told yes). When
# the archive names a program to open afterwards and Wine cannot open it, the program's
# could-not-run box is shown in the transcript and answered; that is not a failure here.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
archive=$(realpath "$1")
dest=$(realpath -m "$2")
build=$(cd "${3:-${VANTREL_BUILD_DIR:-$root/build}}" && pwd)

export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-vantrel}
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ -z "${VANTREL_UI_ON_DISPLAY:-}" ]; then
  exec env VANTREL_UI_ON_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$archive" \
    "$dest" "$build"
fi

driver=${VANTREL_WIN_BUILD_DIR:-$build/win}/vantrel_ui_driver.exe
if [ ! -f "$driver" ]; then
  driver=$build/ui-harness/vantrel_ui_driver.exe
  mkdir -p "$build/ui-harness"
  [ -f "$driver" ] || i686-w64-mingw32-g++ -std=c++20 -O2 "$here/driver.cpp" -o "$driver" \
    -static -luser32 -lcomctl32 -lgdi32
fi
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

[ ! -e "$dest" ] || { echo "extract_with_wine: $dest exists already"; exit 1; }
script=$(mktemp /tmp/vantrel-extract.XXXXXX)
trap 'rm -f "$script"' EXIT
cat >"$script" <<SCRIPT
scenario extract
start $(winpath "$archive")
window
type folder_edit $(winpath "$dest")
click extract_button
box owned question yes,no yes 指定されたフォルダはありません。このフォルダを作りますか？
box owned information ok ok ファイルの解凍が終わりました。
any_box 3000 ok
exit 0
SCRIPT
log=$(LANG=${LANG:-ja_JP.UTF-8} timeout 600 wine explorer "/desktop=vantrel-extract-$$,1024x768" \
  "$(winpath "$driver")" "$(winpath "$script")" 2>&1 | tr -d '\r' | grep -av '^wine: ')
echo "$log"
grep -q '^PASS extract ' <<<"$log"

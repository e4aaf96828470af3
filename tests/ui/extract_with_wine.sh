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

# Where the machine runs 32-bit programs, the 32-bit prefix and driver; where it does not, the
# 64-bit prefix, whose 32-bit half runs the .exe under emulation, and the 64-bit driver.
source "$root/scripts/wine-env.sh"
if [ "$("$root/scripts/machine.sh")" = native ]; then
  vantrel_wine 32
  driver=${VANTREL_WIN_BUILD_DIR:-$build/win}/vantrel_ui_driver.exe
  emulated=0
else
  vantrel_wine 64
  driver=$build/win64/vantrel_ui_driver.exe
  emulated=1
fi

if [ -z "${VANTREL_UI_ON_DISPLAY:-}" ]; then
  if [ $emulated = 1 ]; then
    echo "This machine cannot run 32-bit programs itself: the .exe runs under emulation" \
      "(qemu-i386-static), which takes a minute or two."
  fi
  exec env VANTREL_UI_ON_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$archive" \
    "$dest" "$build"
fi

[ -f "$driver" ] || { echo "extract_with_wine: no driver at $driver (build first)"; exit 1; }

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
log=$(LANG=${LANG:-ja_JP.UTF-8} VANTREL_UI_WAIT_LIMIT_MS=$((emulated ? 600000 : 30000)) \
  timeout 900 "$WINE" explorer "/desktop=vantrel-extract-$$,1024x768" \
  "$(winpath "$driver")" "$(winpath "$script")" 2>&1 | tr -d '\r' | grep -av '^wine: ')
echo "$log"
grep -q '^PASS extract ' <<<"$log"

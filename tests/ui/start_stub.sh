#!/usr/bin/env bash
# Starts the bare stub (no payload) under Wine on a virtual display and checks, through the
# driver, that its main window comes up with the extract button disabled and that it closes
# with exit code 0 when asked. Waits for the window itself, however long Wine takes to start.
#
#   tests/ui/start_stub.sh STUB
#
# Environment: WINE and the prefix (scripts/wine-env.sh); VANTREL_UI_DRIVER, the driver program;
# VANTREL_UI_WAIT_LIMIT_MS, its longest wait (default here: ten minutes, for emulation).
set -euo pipefail
stub=$(realpath "$1")
driver=$(realpath "${VANTREL_UI_DRIVER:?the driver program}")
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"   # winpath

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-start.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$stub" "$work/bare.exe"
cat >"$work/script.txt" <<SCRIPT
scenario bare_stub
start_as bare.exe $(winpath "$work/bare.exe")
window
expect_enabled extract_button no
expect_enabled browse_button yes
close
exit 0
SCRIPT
t0=$SECONDS
log=$(VANTREL_UI_WAIT_LIMIT_MS=${VANTREL_UI_WAIT_LIMIT_MS:-600000} timeout 900 \
  xvfb-run -a -s "-screen 0 1024x768x24" "$WINE" explorer "/desktop=vantrel-start-$$,1024x768" \
  "$(winpath "$driver")" "$(winpath "$work/script.txt")" 2>&1 | tr -d '\r' | grep -av '^wine: ')
echo "$log"
grep -q '^PASS bare_stub ' <<<"$log" || { echo "stub: did not start and close as it should"; exit 1; }
echo "stub: started, showed its window and closed in $((SECONDS - t0)) s"

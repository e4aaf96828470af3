#!/usr/bin/env bash
# The Wine suite: real self-extracting archives, made with the `vantrel` tool, run under Wine
# on a virtual X display and driven through their windows by tests/ui/driver.cpp as a person
# would use them; then the files they wrote are checked here.
#
#   tests/ui/run.sh [BUILD_DIR]        (default: $VANTREL_BUILD_DIR, else build/)
#
# Environment: WINE and the prefix (scripts/wine-env.sh; default: its 32-bit set-up);
# VANTREL_UI_DRIVER, the driver program (default: the i686 one of the build);
# VANTREL_UI_STUB_AT_OFFSET, a build of the stub at an offset that every archive is put behind,
# so that it runs them in the real stub's place; VANTREL_UI_SMOKE=1 for the smoke set alone (the
# plain archive in both locales, a password, a damaged archive and one with a byte appended);
# VANTREL_UI_ONLY, scenario names to run; VANTREL_UI_WAIT_LIMIT_MS, the driver's longest wait.
#
# Every scenario runs in a Japanese locale (code page 932); a subset runs again under C.UTF-8
# (code page 1252), where the same texts must show and the same names be written. Pictures of
# the main window and the progress window go to BUILD_DIR/ui-screenshots/. Ends with
# "N passed, M failed" and a non-zero status when anything failed.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-${VANTREL_BUILD_DIR:-$root/build}}
if [ ! -d "$build" ]; then
  echo "tests/ui/run.sh: no build folder $build"
  echo "0 passed, 1 failed"
  exit 1
fi
build=$(cd "$build" && pwd)

# The Wine set-up the caller chose (scripts/wine-env.sh), else the 32-bit prefix.
source "$root/scripts/wine-env.sh"
[ -n "${WINE:-}" ] || vantrel_wine 32

give_up() {
  echo "tests/ui/run.sh: $*"
  echo "0 passed, 1 failed"
  exit 1
}

# Everything below runs on a virtual display of its own.
if [ -z "${VANTREL_UI_ON_DISPLAY:-}" ]; then
  for tool in "$WINE" xvfb-run import i686-w64-mingw32-g++; do
    command -v "$tool" >/dev/null || give_up "$tool is missing (run scripts/setup.sh)"
  done
  exec env VANTREL_UI_ON_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build"
fi

started=$(date +%s)
vantrel=${VANTREL:-$build/vantrel}
[ -x "$vantrel" ] || give_up "no vantrel tool at $vantrel"

# The driver: the one asked for, else built by the Windows side of the build, or here when
# that is missing or older.
driver=${VANTREL_UI_DRIVER:-${VANTREL_WIN_BUILD_DIR:-$build/win}/vantrel_ui_driver.exe}
if [ -n "${VANTREL_UI_DRIVER:-}" ]; then
  [ -f "$driver" ] || give_up "no driver at $driver"
elif [ ! -f "$driver" ] || [ "$here/driver.cpp" -nt "$driver" ]; then
  driver=$build/ui-harness/vantrel_ui_driver.exe
  if [ ! -f "$driver" ] || [ "$here/driver.cpp" -nt "$driver" ]; then
    mkdir -p "$build/ui-harness"
    i686-w64-mingw32-g++ -std=c++20 -O2 "$here/driver.cpp" -o "$driver" -static -luser32 \
      -lcomctl32 -lgdi32 || give_up "cannot build the driver"
  fi
fi

# The work folder lies on drive C: of the prefix: the folder dialog cannot walk Z:.
[ -f "$WINEPREFIX/system.reg" ] || give_up "no Wine prefix at $WINEPREFIX (run scripts/setup.sh)"
work=$WINEPREFIX/drive_c/vantrel-ui-$$
wwork='C:\vantrel-ui-'$$
rm -rf "$work"
mkdir -p "$work/src" "$work/arc" "$work/out" "$work/signals"
shots=$build/ui-screenshots
mkdir -p "$shots"
export VANTREL_UI_SIGNALS="$wwork\\signals"
desktop=vantrel-ui-$$

# Destinations below a folder that Wine cannot look up (Z:\dev) lie here.
shm=/dev/shm/vantrel-ui-$$

watcher=""
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
  [ -z "${VANTREL_UI_KEEP:-}" ] && rm -rf "$work" "$shm"
}
trap cleanup EXIT

# Pictures on request of the driver: NAME.req holds the window's rectangle.
(
  while true; do
    for request in "$work"/signals/*.req; do
      [ -e "$request" ] || continue
      name=$(basename "$request" .req)
      sleep 0.4  # let the window finish painting
      import -window root -display "$DISPLAY" -crop "$(cat "$request")" +repage \
        "$shots/$name.png" 2>/dev/null
      rm -f "$request"
      touch "$work/signals/$name.done"
    done
    sleep 0.1
  done
) &
watcher=$!

# ---- The texts the program must show (UTF-8 here; CP932 in the program) ----------------------
T_TITLE="Vantrel Ver 1.67"
T_FINISHED="ファイルの解凍が終わりました。"
T_STOPPED="ファイルの解凍を中断しました。"
T_WRONG_PASSWORD="パスワードが違います。"
T_CREATE="指定されたフォルダはありません。このフォルダを作りますか？"
T_CANNOT_MAKE="フォルダが作れません。"
T_CANNOT_RUN="が実行できませんでした。"
T_CORRUPTED="ファイルが壊れています。"
T_SMALLER="ファイルのサイズが元々のファイルより小さいです。解凍できません。"
T_LARGER="ファイルのサイズが元々のファイルより大きいです。このファイルはウイルスに感染している可能性があります。解凍できません。"
T_OVERWRITE="はすでに存在します。上書きしますか？"
T_PROGRESS="ファイルの解凍中"
T_EXTRACTING="解凍中:"
T_CHOOSE="解凍先を選んでください。"
# The packer stores a line break as CR LF, which the message view shows as one.
MESSAGE=$'テスト用のアーカイブです。\nVantrel へようこそ！'
MESSAGE_SHOWN="テスト用のアーカイブです。{CRLF}Vantrel へようこそ！"

# ---- Sources and archives ---------------------------------------------------------------------
src=$work/src
make_tree() {
  mkdir -p "$src/plain/フォルダ" "$src/over" "$src/runafter" "$src/cancel"
  printf 'hello, world\r\n' >"$src/plain/readme.txt"
  printf '日本語の中身\r\n' >"$src/plain/日本語ファイル.txt"
  head -c 100000 /dev/urandom >"$src/plain/フォルダ/中身.bin"
  touch -d '2021-03-04 05:06:07' "$src/plain/readme.txt"
  touch -d '2019-12-31 23:59:58' "$src/plain/日本語ファイル.txt"
  touch -d '2008-08-08 08:08:08' "$src/plain/フォルダ/中身.bin"
  for f in a b c; do printf 'new %s\r\n' $f >"$src/over/$f.txt"; done
  printf '@echo ran> ran.txt\r\n' >"$src/runafter/run.bat"
  printf 'data\r\n' >"$src/runafter/data.txt"
  printf 'first\r\n' >"$src/cancel/a_first.txt"
  cp "$src/runafter/run.bat" "$src/cancel/run.bat"
  # Incompressible, so that decoding it takes long enough to be stopped halfway.
  # Large enough that the click on cancel, which comes after a picture of the progress window,
  # still finds it being written: the stub writes such a member at over 100 MB/s.
  head -c $((160 * 1024 * 1024)) /dev/urandom >"$src/cancel/大きなファイル.bin"
}

pack() {  # NAME SOURCE_FOLDER [vantrel pack options...]
  local name=$1 folder=$2
  shift 2
  local entries=()
  while IFS= read -r -d '' e; do entries+=("$(basename "$e")"); done \
    < <(find "$folder" -mindepth 1 -maxdepth 1 -print0 | sort -z)
  "$vantrel" pack -q -o "$work/arc/$name.exe" "$@" -C "$folder" "${entries[@]}" \
    || give_up "vantrel pack failed for $name"
}

echo "Preparing the archives"
make_tree
pack plain "$src/plain" --message "$MESSAGE"
pack secret_masked "$src/plain" --password "ひみつ"
pack secret_shown "$src/plain" --password "open sesame" --show-password
pack over "$src/over"
pack runafter "$src/runafter" --run-after run.bat
pack runmissing "$src/over" --run-after missing.exe
pack cancel "$src/cancel" --run-after run.bat
head -c 26112 "$work/arc/plain.exe" >"$work/arc/bare.exe"
size=$(stat -c %s "$work/arc/plain.exe")
head -c $((size - 1)) "$work/arc/plain.exe" >"$work/arc/truncated.exe"
{ cat "$work/arc/plain.exe"; printf 'x'; } >"$work/arc/appended.exe"
# One flipped byte in the last block's data: its check fails.
cp "$work/arc/plain.exe" "$work/arc/damaged.exe"
offset=$((size - 100))
byte=$(od -An -tu1 -j $offset -N1 "$work/arc/damaged.exe" | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 0x55)))" |
  dd of="$work/arc/damaged.exe" bs=1 seek=$offset conv=notrunc status=none

# Signed as a publisher signs: a self-made certificate, osslsigncode. The signature follows the
# archive; a byte appended after signing must still be refused.
for tool in openssl osslsigncode; do
  command -v $tool >/dev/null || give_up "$tool is missing (run scripts/setup.sh)"
done
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 2 -subj "/CN=Vantrel test publisher" 2>/dev/null || give_up "openssl cannot make a certificate"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Vantrel test" \
  -in "$work/arc/plain.exe" -out "$work/arc/signed.exe" >/dev/null || give_up "osslsigncode failed"
{ cat "$work/arc/signed.exe"; printf 'x'; } >"$work/arc/signed_appended.exe"

# In the real stub's place: its build at an offset, with each archive behind it.
if [ -n "${VANTREL_UI_STUB_AT_OFFSET:-}" ]; then
  [ -f "$VANTREL_UI_STUB_AT_OFFSET" ] || give_up "no stub at $VANTREL_UI_STUB_AT_OFFSET"
  echo "Running every archive through $VANTREL_UI_STUB_AT_OFFSET"
  for a in "$work"/arc/*.exe; do
    cat "$VANTREL_UI_STUB_AT_OFFSET" "$a" >"$a.tmp" && mv "$a.tmp" "$a"
  done
fi

echo "Archives ready after $(($(date +%s) - started)) s"

# ---- Running scenarios ------------------------------------------------------------------------
# Each scenario is a function, called twice. In the prepare phase it sets up its destination and
# adds its driver script to the batch of its locale; the driver then runs each batch in one Wine
# session (starting Wine's desktop costs seconds). In the check phase the same function finds
# its part of the transcript and checks the files.
phase=prepare
passed=0
failed=0
failed_names=()
name=""
lang=""
problems=""

# begin NAME LANG: a fresh destination $dest (Wine: $wdest) for scenario NAME in LANG.
begin() {
  name=$1
  lang=$2
  problems=""
  tag=${lang%%_*}
  tag=${tag%%.*}
  dest=$work/out/$name.$tag
  wdest=$wwork'\out\'$name.$tag
  if [ "$phase" = prepare ]; then
    rm -rf "$dest"
    echo "scenario $name.$tag" >>"$work/batch.$tag.txt"
  fi
}

setup() { if [ "$phase" = prepare ]; then "$@"; fi; }
write_text() { printf '%s' "$2" >"$1"; }
problem() { problems+="    $*"$'\n'; }

# The pictures for the documentation come from the Japanese runs.
picture() {  # NAME WINDOW
  [ "$lang" = ja_JP.UTF-8 ] && echo "signal $1 $2"
}

# The scenario's driver script on standard input.
drive() {
  if [ "$phase" = prepare ]; then
    cat >>"$work/batch.$tag.txt"
    return
  fi
  cat >/dev/null
  transcript=$(awk -v id="=== $name.$tag" '$0 == id {on = 1; next} /^=== / {on = 0} on' \
    "$work/batch.$tag.log" | tr -d '\r')
  if ! grep -q "^PASS $name.$tag " <<<"$transcript"; then
    problem "driver:"
    problems+=$(sed 's/^/      /' <<<"${transcript:-(no transcript)}")$'\n'
  fi
}

run_batch() {  # LANG
  local tag=${1%%_*}
  tag=${tag%%.*}
  [ -f "$work/batch.$tag.txt" ] || return 0
  LANG=$1 LC_ALL=$1 timeout "${VANTREL_UI_BATCH_LIMIT:-900}" "$WINE" explorer "/desktop=$desktop,1024x768" \
    "$(winpath "$driver")" "$wwork\\batch.$tag.txt" >"$work/batch.$tag.log" 2>&1
}

finish() {
  [ "$phase" = check ] || return 0
  local took
  took=$(grep -o "^PASS $name.$tag ([0-9]* ms)" <<<"$transcript" | grep -o '[0-9]* ms')
  if [ -z "$problems" ]; then
    passed=$((passed + 1))
    echo "PASS  $name ($lang, $took)"
  else
    failed=$((failed + 1))
    failed_names+=("$name ($lang)")
    echo "FAIL  $name ($lang)"
    printf '%s' "$problems"
  fi
}

# The destination holds exactly the source's entries, with the same bytes and write times.
check_same_tree() {  # SOURCE DESTINATION
  [ "$phase" = check ] || return 0
  local a b
  a=$(cd "$1" && find . -mindepth 1 | LC_ALL=C sort)
  b=$(cd "$2" 2>/dev/null && find . -mindepth 1 | LC_ALL=C sort)
  if [ "$a" != "$b" ]; then
    problem "names differ: expected [$(echo $a)], found [$(echo $b)]"
    return
  fi
  while IFS= read -r -d '' f; do
    cmp -s "$1/$f" "$2/$f" || problem "$f: contents differ"
    [ "$(stat -c %Y "$1/$f")" = "$(stat -c %Y "$2/$f")" ] ||
      problem "$f: last write time $(stat -c %y "$2/$f"), expected $(stat -c %y "$1/$f")"
  done < <(cd "$1" && find . -type f -printf '%P\0')
}

check_file() {  # PATH CONTENT (line ends aside)
  [ "$phase" = check ] || return 0
  if [ ! -f "$1" ]; then problem "$1 missing"; return; fi
  local held
  held=$(tr -d '\r' <"$1")
  [ "$held" = "$2" ] || problem "$1 holds \"$held\", expected \"$2\""
}
check_absent() { [ "$phase" = prepare ] || [ ! -e "$1" ] || problem "$1 should not exist"; }

# Waits up to 10 s for something that another process of the program leaves behind.
wait_for_file() {
  [ "$phase" = check ] || return 0
  local i
  for i in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.1; done
  problem "$1 did not appear"
}

arc='C:\vantrel-ui-'$$'\arc'

# ---- Scenarios --------------------------------------------------------------------------------
# The driver's lines that start ARCHIVE (a Windows path), wait for its window, type FOLDER into
# the destination field and click the extract button.
start_extract() {  # ARCHIVE FOLDER
  printf 'start %s\nwindow\ntype folder_edit %s\nclick extract_button\n' "$1" "$2"
}

no_password_run() {
  begin no-password "$1"
  setup mkdir -p "$dest"
  drive <<EOF
start $arc\\plain.exe
window
expect_title $T_TITLE
expect_text message_view $MESSAGE_SHOWN
expect_text message_label メッセージ
expect_text folder_label 解凍先フォルダ
expect_text extract_button 解凍
expect_text browse_button 参照...
expect_visible password_edit no
expect_visible password_label no
expect_text folder_edit $arc
expect_layout
type folder_edit $wdest
$(picture main_window main)
click extract_button
box owned information ok ok $T_FINISHED
exit 0
EOF
  check_same_tree "$src/plain" "$dest"
  finish
}

masked_password_run() {
  begin password_masked "$1"
  setup mkdir -p "$dest"
  drive <<EOF
start $arc\\secret_masked.exe
window
expect_visible password_edit yes
expect_visible password_label yes
expect_text password_label パスワード
expect_password_char password_edit *
type folder_edit $wdest
type password_edit ひみづ
click extract_button
box owned warning ok ok $T_WRONG_PASSWORD
expect_exists $wdest\\readme.txt no
type password_edit 
click extract_button
box owned warning ok ok $T_WRONG_PASSWORD
type password_edit ひみつ
click extract_button
box owned information ok ok $T_FINISHED
exit 0
EOF
  check_same_tree "$src/plain" "$dest"
  finish
}

shown_password_run() {
  begin password_shown "$1"
  setup mkdir -p "$dest"
  drive <<EOF
start $arc\\secret_shown.exe
window
expect_visible password_edit yes
expect_password_char password_edit none
type folder_edit $wdest
type password_edit open sesame!
click extract_button
box owned warning ok ok $T_WRONG_PASSWORD
type password_edit open sesame
expect_text password_edit open sesame
click extract_button
box owned information ok ok $T_FINISHED
exit 0
EOF
  check_same_tree "$src/plain" "$dest"
  finish
}

missing_destination() {
  begin missing_destination "$1"
  drive <<EOF
start $arc\\plain.exe
window
type folder_edit $wdest\\new\\deeper
click extract_button
box owned question yes,no no $T_CREATE
no_box 300
expect_exists $wdest no
click extract_button
box owned question yes,no yes $T_CREATE
box owned information ok ok $T_FINISHED
exit 0
EOF
  check_same_tree "$src/plain" "$dest/new/deeper"
  finish
}

destination_is_file() {
  begin destination_is_file "$1"
  setup mkdir -p "$dest"
  setup write_text "$dest/file" x
  drive <<EOF
start $arc\\plain.exe
window
type folder_edit $wdest\\file
click extract_button
box owned error ok ok $T_CANNOT_MAKE
expect_enabled extract_button yes
close
exit 0
EOF
  check_file "$dest/file" x
  finish
}

overwrite() {  # LANG ANSWER
  begin "overwrite_$2" "$1"
  setup mkdir -p "$dest"
  setup write_text "$dest/b.txt" 'old b'
  local report=$T_FINISHED
  [ "$2" = cancel ] && report=$T_STOPPED
  drive <<EOF
start $arc\\over.exe
window
type folder_edit $wdest
click extract_button
box owned question yes,no,cancel $2 $wdest\\b.txt$T_OVERWRITE
box owned information ok ok $report
exit 0
EOF
  check_file "$dest/a.txt" "new a"
  case $2 in
    yes) check_file "$dest/b.txt" "new b"; check_file "$dest/c.txt" "new c" ;;
    no) check_file "$dest/b.txt" "old b"; check_file "$dest/c.txt" "new c" ;;
    cancel) check_file "$dest/b.txt" "old b"; check_absent "$dest/c.txt" ;;
  esac
  finish
}

# HOW: cancel (the button), close (a close request on the progress window, as Alt+F4 makes)
# or close_main (one on the disabled main window, as the taskbar can make).
stop_large_member() {  # LANG HOW
  begin "stop-by-$2" "$1"
  setup mkdir -p "$dest"
  local picture=""
  [ "$2" = cancel ] && picture=$(picture progress_window progress)
  local stop=cancel
  [ "$2" = close ] && stop=close_progress
  [ "$2" = close_main ] && stop=close
  drive <<EOF
start $arc\\cancel.exe
window
type folder_edit $wdest
click extract_button
progress
expect_progress_title $T_PROGRESS
wait_status $T_EXTRACTING$wdest\\大きなファイル.bin
wait_file $wdest\\大きなファイル.bin 65536
$picture
$stop
box owned information ok ok $T_STOPPED
exit 0
EOF
  check_file "$dest/a_first.txt" first
  [ "$phase" = prepare ] || cmp -s "$src/cancel/run.bat" "$dest/run.bat" ||
    problem "run.bat not extracted whole"
  check_absent "$dest/大きなファイル.bin"
  check_absent "$dest/ran.txt"
  finish
}

folder_chooser() {
  begin folder_chooser "$1"
  drive <<EOF
start $arc\\plain.exe
window
expect_text folder_edit $arc
type folder_edit C:\\typed\\elsewhere
click browse_button
dialog $T_CHOOSE
dialog_answer cancel
expect_text folder_edit C:\\typed\\elsewhere
click browse_button
dialog $T_CHOOSE
dialog_answer ok
expect_text folder_edit $arc
click browse_button
dialog $T_CHOOSE
dialog_up
dialog_answer ok
expect_text folder_edit $wwork
type folder_edit C:\\typed\\again
click browse_button
dialog $T_CHOOSE
dialog_answer ok
expect_text folder_edit $wwork
close
exit 0
EOF
  finish
}

run_after_finished() {
  begin run_after "$1"
  setup mkdir -p "$dest"
  drive <<EOF
$(start_extract "$arc\\runafter.exe" "$wdest")
box owned information ok ok $T_FINISHED
exit 0
EOF
  wait_for_file "$dest/ran.txt"
  check_file "$dest/ran.txt" ran
  check_file "$dest/data.txt" data
  finish
}

run_after_missing() {
  begin run_after_missing "$1"
  setup mkdir -p "$dest"
  drive <<EOF
$(start_extract "$arc\\runmissing.exe" "$wdest")
box owned information ok ok $T_FINISHED
box owned error ok ok missing.exe$T_CANNOT_RUN
exit 0
EOF
  check_same_tree "$src/over" "$dest"
  finish
}

# An empty destination field means the current folder: the program's own folder here, as the
# driver starts it there.
empty_destination() {
  begin empty_destination "$1"
  setup mkdir -p "$dest"
  setup cp "$work/arc/over.exe" "$dest/over.exe"
  drive <<EOF
start $wdest\\over.exe
window
type folder_edit 
click extract_button
box owned information ok ok $T_FINISHED
exit 0
EOF
  for f in a b c; do check_file "$dest/$f.txt" "new $f"; done
  finish
}

bare_stub() {
  begin bare_stub "$1"
  drive <<EOF
start_as bare.exe $arc\\bare.exe
window
expect_text folder_edit $arc
expect_enabled extract_button no
expect_enabled browse_button yes
expect_text message_view 
expect_visible password_edit yes
expect_visible password_label yes
no_box 300
close
exit 0
EOF
  finish
}

length_mismatch() {  # LANG truncated|appended
  begin "$2" "$1"
  local text=$T_SMALLER
  [ "$2" = appended ] && text=$T_LARGER
  drive <<EOF
start $arc\\$2.exe
box unowned error ok ok $text
exit 1
EOF
  finish
}

# A signed archive extracts as the unsigned one does; bytes appended after signing do not pass.
signed_run() {
  begin signed "$1"
  setup mkdir -p "$dest"
  drive <<EOF
$(start_extract "$arc\\signed.exe" "$wdest")
box owned information ok ok $T_FINISHED
exit 0
EOF
  check_same_tree "$src/plain" "$dest"
  finish
}

signed_appended() {
  begin signed_appended "$1"
  drive <<EOF
start $arc\\signed_appended.exe
box unowned error ok ok $T_LARGER
exit 1
EOF
  finish
}

damaged_block() {
  begin damaged "$1"
  setup mkdir -p "$dest"
  drive <<EOF
$(start_extract "$arc\\damaged.exe" "$wdest")
box owned error ok ok $T_CORRUPTED
exit 1
EOF
  finish
}

# Wine finds nothing when it looks up Z:\dev, as Windows finds nothing for a folder the user
# may not list: the run must not look above the destination, and a missing destination is
# made from the deepest folder that exists. HOW: present (the folder is there) or missing
# (two levels of it are made after the question).
unlistable_ancestor() {  # LANG HOW
  begin "unlistable_ancestor_$2" "$1"
  dest=$shm/$name.$tag
  wdest=$(winpath "$dest")
  local typed=$wdest into=$dest question=""
  if [ "$2" = missing ]; then
    typed=$wdest\\new\\deeper
    into=$dest/new/deeper
    question="box owned question yes,no yes $T_CREATE"
  fi
  setup rm -rf "$dest"
  setup mkdir -p "$dest"
  drive <<EOF
$(start_extract "$arc\\plain.exe" "$typed")
$question
box owned information ok ok $T_FINISHED
exit 0
EOF
  check_same_tree "$src/plain" "$into"
  finish
}

ja=ja_JP.UTF-8
en=C.UTF-8
only=${VANTREL_UI_ONLY:-}
want() { [ -z "$only" ] || [[ " $only " == *" $1 "* ]]; }

# The smoke set: what every machine runs with the real stub, under emulation where it must.
smoke_scenarios() {
  no_password_run $ja
  masked_password_run $ja
  length_mismatch $ja appended
  damaged_block $ja
  no_password_run $en
}

all_scenarios() {
  if [ "${VANTREL_UI_SMOKE:-}" = 1 ]; then
    smoke_scenarios
    return
  fi
  want no_password && no_password_run $ja
  want password_masked && masked_password_run $ja
  want password_shown && shown_password_run $ja
  want missing_destination && missing_destination $ja
  want destination_is_file && destination_is_file $ja
  for answer in yes no cancel; do want overwrite && overwrite $ja $answer; done
  want stop && stop_large_member $ja cancel
  want stop && stop_large_member $ja close
  want stop && stop_large_member $ja close_main
  want folder_chooser && folder_chooser $ja
  want run_after && run_after_finished $ja
  want run_after && run_after_missing $ja
  want empty_destination && empty_destination $ja
  want bare_stub && bare_stub $ja
  want length && length_mismatch $ja truncated
  want length && length_mismatch $ja appended
  want damaged && damaged_block $ja
  want signed && signed_run $ja
  want signed && signed_appended $ja
  if [ -d /dev/shm ]; then
    for how in present missing; do want unlistable_ancestor && unlistable_ancestor $ja $how; done
  fi

  want no_password && no_password_run $en
  want password_masked && masked_password_run $en
  want damaged && damaged_block $en
  want length && length_mismatch $en appended
}

all_scenarios
run_batch $ja
run_batch $en
phase=check
all_scenarios

elapsed=$(($(date +%s) - started))
echo "Wine suite: ${elapsed} s; pictures in $shots"
if [ "$failed" -gt 0 ]; then
  echo "failed: ${failed_names[*]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

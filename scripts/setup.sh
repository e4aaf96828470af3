#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine, makes 32-bit
# Windows programs runnable and prepares the Wine prefixes once. Idempotent: when everything is
# present it only checks, and says what it found.
#
# Two kinds of x86-64 machine come: those whose kernel runs 32-bit x86 programs, and those that
# refuse them ("Exec format error"). scripts/machine.sh tells which by running one. On the second
# kind (or with VANTREL_EMULATE_32=1 on either) 32-bit programs, Wine's 32-bit half among them,
# run under qemu's user-mode emulation, registered here with binfmt_misc; 64-bit Windows
# programs run natively under wine64 on both.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
say() { echo "setup: $*"; }

PKGS=(cmake g++ make ninja-build pkg-config googletest libgtest-dev libbenchmark-dev
      libcli11-dev nlohmann-json3-dev debootstrap g++-mingw-w64-i686 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
      mingw-w64-i686-dev g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix
      gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine32:i386 wine64 qemu-user-static
      xvfb xauth x11-utils xdotool locales fonts-ipafont-gothic imagemagick clang
      libclang-rt-14-dev gzip zstd xz-utils 7zip xxd python3 file nsis osslsigncode openssl)

need_install=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_install=1
fi
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    need_install=1
    break
  fi
done
if [ "$need_install" = 1 ]; then
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${PKGS[@]}"
  say "packages installed"
else
  say "packages present"
fi

# ja_JP.UTF-8 for the Japanese-locale runs under Wine (code page 932).
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  $SUDO sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

# ---- 32-bit programs ---------------------------------------------------------------------------
# Our own binfmt_misc entry: i386 ELF programs (executables and shared objects) go to qemu. The
# F flag opens the emulator now, so it works inside other mount namespaces and chroots too.
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/vantrel-i386
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
kind=$(scripts/machine.sh)
if [ "$kind" = emulated ]; then
  [ -f $binfmt/register ] || $SUDO mount -t binfmt_misc binfmt_misc $binfmt ||
    { say "cannot mount binfmt_misc on $binfmt: 32-bit programs cannot be emulated here"; exit 1; }
  if [ ! -f "$entry" ]; then
    printf '%s' ":vantrel-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" |
      $SUDO tee $binfmt/register >/dev/null
    say "registered qemu-i386-static for 32-bit programs (binfmt_misc entry vantrel-i386)"
  elif ! grep -qx enabled "$entry"; then
    echo 1 | $SUDO tee "$entry" >/dev/null
    say "enabled the binfmt_misc entry vantrel-i386"
  fi
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    say "32-bit Wine does not start even under emulation"
    exit 1
  fi
  if [ "${VANTREL_EMULATE_32:-}" = 1 ]; then
    say "32-bit programs run under emulation (asked for by VANTREL_EMULATE_32=1)"
  else
    say "this machine refuses 32-bit programs: they run under emulation (qemu-i386-static)"
  fi
else
  # A native machine that an earlier run told to emulate gets its own way back.
  if [ -f "$entry" ]; then
    echo -1 | $SUDO tee "$entry" >/dev/null
    say "removed the binfmt_misc entry vantrel-i386: 32-bit programs run natively again"
  fi
  say "this machine runs 32-bit programs natively"
fi

# ---- Wine prefixes -----------------------------------------------------------------------------
source scripts/wine-env.sh
# A program that crashes under test must end with its backtrace on stderr, not wait in the
# crash dialog for a click that never comes.
no_crash_dialog() {
  if ! grep -q '"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg" 2>/dev/null; then
    $WINE reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1 || true
  fi
}

# The 64-bit prefix, with its 32-bit half: every machine runs the 64-bit programs in it, and the
# emulated path also runs the real stub there. A prefix made while 32-bit programs could not
# start lacks that half (no syswow64\kernel32.dll) and is made anew. Where 32-bit programs are
# emulated, making the half takes minutes (about 3.5 here); it is done once.
vantrel_wine 64
if [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  t0=$SECONDS
  rm -rf "$WINEPREFIX"
  $WINE wineboot -i >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver64 -w || true
  [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] ||
    { say "the 64-bit Wine prefix $WINEPREFIX has no 32-bit half"; exit 1; }
  say "made the 64-bit Wine prefix $WINEPREFIX in $((SECONDS - t0)) s"
fi
no_crash_dialog

# The 32-bit prefix, where 32-bit programs run natively: the whole suite of the real stub.
if [ "$kind" = native ]; then
  vantrel_wine 32
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    t0=$SECONDS
    $WINE wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    say "made the 32-bit Wine prefix $WINEPREFIX in $((SECONDS - t0)) s"
  fi
  no_crash_dialog
fi
prefixes=$VANTREL_WINEPREFIX64
[ "$kind" = native ] && prefixes+=" and $VANTREL_WINEPREFIX32"
say "ready ($kind 32-bit programs; Wine prefixes $prefixes)"

#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine, and prepares
# the Wine prefix once. Idempotent: when everything is present it only checks and returns.
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

PKGS=(cmake g++ make ninja-build pkg-config googletest libgtest-dev libbenchmark-dev
      libcli11-dev g++-mingw-w64-i686 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev wine wine32:i386 xvfb xauth x11-utils
      xdotool locales fonts-ipafont-gothic imagemagick clang libclang-rt-14-dev
      gzip zstd xxd python3 file)

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
fi

# ja_JP.UTF-8 for the Japanese-locale runs under Wine (code page 932).
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  $SUDO sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

# One Wine prefix, prepared once; Mono and Gecko are declined so that nothing is downloaded.
# CI may start us without HOME.
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vantrel}"
export WINEARCH=win32
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
# A program that crashes under test must end with its backtrace on stderr, not wait in the
# crash dialog for a click that never comes.
if ! grep -q '"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg" 2>/dev/null; then
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
fi
echo "setup: ready (Wine prefix $WINEPREFIX)"

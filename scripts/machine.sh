#!/usr/bin/env bash
# Tells how this machine runs 32-bit x86 programs, the stub and Wine's 32-bit half among them:
#   native     the kernel runs them itself
#   emulated   it refuses them (or VANTREL_EMULATE_32=1 asks for this path); they run under
#              qemu's user-mode emulation, registered by scripts/setup.sh
# It finds out by running one: a 32-bit program of a few bytes that only ends with status 0.
# Its header carries ABI version 1, which no emulation entry matches (they require 0), so a
# registered emulator never answers in the kernel's place.
set -euo pipefail

if [ "${VANTREL_EMULATE_32:-}" = 1 ]; then
  echo emulated
  exit 0
fi
probe=$(mktemp "${TMPDIR:-/tmp}/vantrel-probe32.XXXXXX")
trap 'rm -f "$probe"' EXIT
# ELF header (52 bytes), one loadable segment (32 bytes), then: xor ebx,ebx; mov eax,1; int 0x80
printf '%b' \
  '\x7fELF\x01\x01\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
  '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
  '\x00\x00\x00\x00' \
  '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
  '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
  '\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
chmod +x "$probe"
if "$probe" 2>/dev/null; then echo native; else echo emulated; fi

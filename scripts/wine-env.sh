# Sourced by the scripts that run Windows programs: the project's two Wine set-ups.
#
#   vantrel_wine 32   the 32-bit prefix ($VANTREL_WINEPREFIX32, default ~/.wine-vantrel, win32),
#                     for 32-bit programs where the machine runs them natively
#   vantrel_wine 64   the 64-bit prefix ($VANTREL_WINEPREFIX64, default ~/.wine-vantrel64, win64),
#                     for 64-bit programs, natively on every x86-64 machine; 32-bit programs run
#                     in it too, through its 32-bit half, under emulation where the machine needs
#
# Each exports WINEPREFIX, WINEARCH, WINEDEBUG, WINEDLLOVERRIDES (no Mono, no Gecko: nothing is
# downloaded), for 64 WINELOADER, and WINE: the command that starts a program.
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
VANTREL_WINEPREFIX32="${VANTREL_WINEPREFIX32:-$HOME/.wine-vantrel}"
VANTREL_WINEPREFIX64="${VANTREL_WINEPREFIX64:-$HOME/.wine-vantrel64}"

vantrel_wine() {
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  case "$1" in
    32)
      export WINEPREFIX="$VANTREL_WINEPREFIX32" WINEARCH=win32
      unset WINELOADER
      export WINE=wine ;;
    64)
      export WINEPREFIX="$VANTREL_WINEPREFIX64" WINEARCH=win64
      export WINELOADER=/usr/lib/wine/wine64
      export WINE=/usr/lib/wine/wine64 ;;
    *) echo "vantrel_wine: 32 or 64, not '$1'" >&2; return 2 ;;
  esac
}

# Wine's view of a Unix path: the Unix root is drive Z:.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

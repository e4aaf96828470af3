#!/bin/sh
# Runs vantrel.exe under wine64 in place of the Linux tool, for the tool's tests
# (VANTREL_TEST_TOOL=tests/cli/vantrel_wine.sh). VANTREL_TOOL_EXE names the program; the Wine
# set-up is scripts/wine-env.sh's (vantrel_wine 64), already exported by the caller.
exec "${WINE:?run vantrel_wine 64 first}" "${VANTREL_TOOL_EXE:?the vantrel.exe to run}" "$@"

#!/usr/bin/env bash
# The main job, from a fresh machine: set up, build, pack the sample folder into a
# self-extracting .exe with the built vantrel, list it, test it, extract it into a fresh
# folder and compare the result with the source.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s\n' "$*"; }

step "Setting up the machine (scripts/setup.sh)"
scripts/setup.sh

step "Configuring and building (cmake -S . -B build; cmake --build build)"
cmake -S . -B build
cmake --build build --parallel 2

VANTREL="$PWD/build/vantrel"
WORK="$PWD/build/demo"
SOURCE="$WORK/sample"
ARCHIVE="$WORK/sample.exe"
EXTRACTED="$WORK/extracted"

step "Preparing the sample folder in $SOURCE"
rm -rf "$WORK"
mkdir -p "$WORK"
cp -r sample "$SOURCE"
rm -f "$SOURCE/README.md"
# Empty folders travel too; git cannot keep them, so they are made here.
mkdir -p "$SOURCE/空のフォルダ" "$SOURCE/ドキュメント/図表/下書き"
find "$SOURCE" | sort

step "Packing: vantrel pack -o $ARCHIVE -C $SOURCE ."
"$VANTREL" pack -o "$ARCHIVE" -C "$SOURCE" \
  --message $'Vantrel のサンプル書庫です。\n解凍先を選んで「解凍」を押してください。' .
ls -l "$ARCHIVE"

step "Listing: vantrel list $ARCHIVE"
"$VANTREL" list "$ARCHIVE"

step "Testing: vantrel test $ARCHIVE"
"$VANTREL" test "$ARCHIVE"

step "Extracting: vantrel extract $ARCHIVE -o $EXTRACTED"
rm -rf "$EXTRACTED"
"$VANTREL" extract "$ARCHIVE" -o "$EXTRACTED"

step "Comparing: diff -r $SOURCE $EXTRACTED"
diff -r "$SOURCE" "$EXTRACTED"
echo "The extracted folder is identical to the source."

step "Running $ARCHIVE itself under Wine, driven through its window into a fresh folder"
WINE_OUT="$WORK/extracted-wine"
tests/ui/extract_with_wine.sh "$ARCHIVE" "$WINE_OUT" "$PWD/build"

step "Comparing: diff -r $SOURCE $WINE_OUT"
diff -r "$SOURCE" "$WINE_OUT"
echo "The folder the stub wrote under Wine is identical to the source."

step "Done"

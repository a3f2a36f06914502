#!/usr/bin/env bash
# The demo: packs the sample update with the updpack of a finished build, lists and verifies
# the package, extracts it again and compares, and says where the package is.
#   examples/demo.sh BUILD_DIR        (make demo passes build/release)
# It builds nothing itself.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: examples/demo.sh BUILD_DIR}
updpack="$build/tools/updpack/updpack"
if [ ! -x "$updpack" ]; then
  echo "demo: $updpack is missing; build first (make demo does)" >&2
  exit 1
fi

demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
cp -R examples/sample-update "$demo/sample-update"
# Git keeps no file times: give every file the time of its release, so that the package (which
# records them) comes out the same, byte for byte, on every machine.
while IFS='|' read -r name stamp; do
  touch -d "$stamp" "$demo/sample-update/$name"
done <<'TIMES'
UPDATE.INI|2024-03-15 12:00:00 UTC
hoshi.exe|2024-03-14 18:30:00 UTC
script.dat|2024-03-14 18:30:00 UTC
title.bmp|2024-03-10 09:15:00 UTC
bgm01.ogg|2023-11-02 21:00:00 UTC
config.ini|2023-11-02 21:00:00 UTC
更新履歴.txt|2024-03-15 11:45:00 UTC
使用許諾.txt|2024-03-15 11:45:00 UTC
TIMES

package="$demo/UPDATE.FA3"
echo "== updpack build (level best)"
"$updpack" build "$demo/sample-update" -o "$package" --level best
echo
echo "== updpack list"
"$updpack" list "$package"
echo
echo "== updpack verify"
"$updpack" verify "$package"
echo
echo "== updpack extract, compared with the sample"
"$updpack" extract "$package" -C "$demo/extracted"
diff -r "$demo/sample-update" "$demo/extracted" && echo "the extracted files equal the sample, byte for byte"
echo
echo "The package: $package ($(wc -c <"$package") bytes, sha256 $(sha256sum "$package" | cut -c1-16)...)"

# The updater itself is a Windows program of the windows build; once it is built there, put the
# package into a copy of it.
stub=build/windows/update.exe
if [ -f "$stub" ]; then
  echo
  echo "== updpack embed (stub $stub)"
  "$updpack" embed "$package" --stub "$stub" -o "$demo/update.exe"
  "$updpack" verify "$demo/update.exe"
  echo "The updater carrying it: $demo/update.exe"
fi

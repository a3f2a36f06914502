#!/usr/bin/env bash
# The demo: packs the sample update with the updpack of a finished build, lists and verifies
# the package, extracts it again and compares; then, when the windows build has update.exe and
# wizard_driver.exe, puts the package into the updater, signs it with a throwaway certificate
# and checks the signature, and updates the sample game with the signed updater for real:
# installed in a private Wine prefix, the updater walked through its pages on a virtual display,
# a screenshot of each page, and what changed in the installation folder.
#   examples/demo.sh BUILD_DIR [WINDOWS_BUILD_DIR]   (make demo passes build/release build/windows)
# It builds nothing itself. Everything goes to build/demo; the Wine prefix there is kept between
# runs (a fresh one takes a while to make).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: examples/demo.sh BUILD_DIR [WINDOWS_BUILD_DIR]}
winbuild=${2:-build/windows}
updpack="$build/tools/updpack/updpack"
if [ ! -x "$updpack" ]; then
  echo "demo: $updpack is missing; build first (make demo does)" >&2
  exit 1
fi

demo=build/demo
mkdir -p "$demo"
# A fresh demo each time, except for the Wine prefix.
find "$demo" -mindepth 1 -maxdepth 1 ! -name wine -exec rm -rf {} +
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

# The updater itself is a Windows program of the windows build: put the package into a copy of
# it, and update the sample game with it under Wine.
stub="$winbuild/update.exe"
driver="$winbuild/tools/driver/wizard_driver.exe"
if [ ! -f "$stub" ] || [ ! -f "$driver" ]; then
  echo
  echo "($stub or $driver is not built: make demo builds them and updates the game with them)"
  exit 0
fi
echo
echo "== updpack embed (stub $stub)"
"$updpack" embed "$package" --stub "$stub" -o "$demo/update-unsigned.exe"
"$updpack" verify "$demo/update-unsigned.exe"

# Signed after embed, never before: embed rewrites the image, which no signature survives. The
# certificate is a throwaway, self-signed one made here; a publisher signs with their own
# (README, "Signing the updater").
echo
echo "== signing the updater (osslsigncode, a throwaway self-signed certificate)"
keys="$demo/signing"
mkdir -p "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 7 -subj '/CN=Hoshizora Soft (demo)' \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
  -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null
osslsigncode sign -certs "$keys/cert.pem" -key "$keys/key.pem" -h sha256 \
  -n 'Hoshi no Kioku updater' -in "$demo/update-unsigned.exe" -out "$demo/update.exe" >/dev/null
# The signature checked with the certificate as the trusted root, as Windows would check it
# with the publisher's authority in its store.
osslsigncode verify -CAfile "$keys/cert.pem" -in "$demo/update.exe" >"$keys/verify.log" 2>&1 || {
  cat "$keys/verify.log" >&2
  echo "demo: the signature of $demo/update.exe does not verify" >&2
  exit 1
}
grep -E '^(Signature verification|Number of verified signatures)' "$keys/verify.log"
"$updpack" verify "$demo/update.exe"

# The Wine bench of the tests (private prefix, Xvfb, code page 932), in build/demo/wine. Xvfb and
# the wineserver are stopped however the demo ends.
export UPD_WINE_ROOT="$PWD/$demo/wine"
wine_run() { tests/wine/wine-run.sh "$@"; }
trap 'tests/wine/wine-run.sh --stop' EXIT
wine_run --start
prefix="$UPD_WINE_ROOT/prefix"

# The installed game: 星の記憶 Ver.1.01 of ほしぞらソフト, in C:\Games\星の記憶, its settings in
# C:\Games\星の記憶\savedata (DataPath, where the mode-d config.ini lives).
echo
echo "== installing 星の記憶 Ver.1.01 in the Wine prefix $prefix"
game="$prefix/drive_c/Games/星の記憶"
rm -rf "$prefix/drive_c/Games"
mkdir -p "$game/savedata"
cp932() { iconv -f UTF-8 -t CP932 | sed 's/$/\r/'; }
cp932 >"$game/SETUP.INI" <<'INI'
[SETUP]
CompanyName=ほしぞらソフト
GameTitle=星の記憶
GameDir=HoshiKioku
GameExe=hoshi.exe
UninstExe=uninst.exe
SetupBmp=setup.bmp
InstallSelects=1
InstallTitle0=標準インストール
InstallFiles0=data.pak
Shortcuts=1
Shortcut0=hoshi.exe,星の記憶
GameClass=HoshiKiokuMainWindow
INI
# The files of Ver.1.01: older and of other sizes than the update's; bgm01.ogg is new in 1.02.
head -c 45056 "$demo/sample-update/hoshi.exe" >"$game/hoshi.exe"
head -c 31000 "$demo/sample-update/script.dat" >"$game/script.dat"
head -c 57654 "$demo/sample-update/title.bmp" | tr '\001' '\002' >"$game/title.bmp"
cp932 >"$game/更新履歴.txt" <<'TXT'
星の記憶 更新履歴

Ver.1.01
・一部の環境で起動時にエラーが出る不具合を修正しました。
TXT
# The player's own settings: the update keeps their content (mode d) and only touches the file.
cp932 >"$game/savedata/config.ini" <<'TXT'
[CONFIG]
ScreenMode=1
TextSpeed=8
BgmVolume=60
SeVolume=70
TXT
head -c 12000 /dev/zero >"$game/data.pak"
touch -d '2023-06-01 10:00:00 UTC' "$game/SETUP.INI" "$game/data.pak"
touch -d '2023-11-02 21:00:00 UTC' "$game/hoshi.exe" "$game/script.dat" "$game/title.bmp" "$game/更新履歴.txt"
touch -d '2024-02-20 23:10:00 UTC' "$game/savedata/config.ini"
wine_run "$driver" install --company 'ほしぞらソフト' --game-dir HoshiKioku \
  --inst-path 'C:\Games\星の記憶' --data-path 'C:\Games\星の記憶\savedata' --mode 1
python3 examples/demo_files.py snapshot "$game" "$demo/before.tsv"

echo
echo "== running the signed updater (update.exe under Wine, walked by wizard_driver.exe)"
mkdir -p "$demo/shots"
# On a Wine desktop of its own, so that Wine draws the windows' frames and captions (Xvfb has no
# window manager to draw them) and the screenshots show the pages as a player sees them.
wine_run explorer /desktop=HoshiKioku,800x600 "$driver" walk "Z:$PWD/$demo/update.exe" \
  --shots "Z:$PWD/$demo/shots" --timeout 60 | tee "$demo/walk.log" || true
python3 examples/demo_files.py snapshot "$game" "$demo/after.tsv"

echo
echo "== what changed in C:\\Games\\星の記憶"
python3 examples/demo_files.py changes "$demo/before.tsv" "$demo/after.tsv"

for bmp in "$demo"/shots/*.bmp; do
  [ -f "$bmp" ] || continue
  python3 examples/demo_files.py png "$bmp" "$demo/$(basename "${bmp%.bmp}").png"
done
echo
echo "Screenshots of the pages: $(cd "$demo" && ls -1 ./*.png 2>/dev/null | tr '\n' ' ')(in $demo)"
# The desktop's explorer hides the driver's exit code; its log says how the walk ended.
if ! grep -q '^exit-code: 1' "$demo/walk.log"; then
  echo "demo: the updater did not go through its pages to its finished exit code 1 (see $demo/walk.log)" >&2
  exit 1
fi

#!/usr/bin/env bash
# The release archive (tools/dist/make_dist.py), made from finished builds:
#   - made twice from the same builds, it is the same byte for byte;
#   - unpacked, it holds what a publisher needs, its SHA256SUMS hold and name every file;
#   - the Windows updpack.exe from it, under Wine, builds the sample update, puts it into the
#     archive's update.exe (the stub beside it, no --stub) and verifies the result; the Linux
#     updpack from it builds the same package and reads that updater as well.
#   tests/dist/dist-test.sh HOST_BUILD WINDOWS_BUILD    (make test: build/native build/windows)
# The Wine bench is the windows build's ($WINDOWS_BUILD/wine) unless UPD_WINE_ROOT names another.
set -euo pipefail
cd "$(dirname "$0")/../.."
host=${1:?usage: tests/dist/dist-test.sh HOST_BUILD WINDOWS_BUILD}
win=${2:?usage: tests/dist/dist-test.sh HOST_BUILD WINDOWS_BUILD}
work=$(mktemp -d "${TMPDIR:-/tmp}/dist-test.XXXXXX")
wine_started=0
cleanup() {
  [ $wine_started -eq 0 ] || tests/wine/wine-run.sh --stop
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "dist-test: $*" >&2; exit 1; }

echo "== the archive, made twice"
python3 tools/dist/make_dist.py "$host" "$win" "$work/a"
# The second time from copies of the programs with other times and modes, which must not matter.
mkdir -p "$work/copy/host/tools/updpack" "$work/copy/win/tools/updpack"
cp "$host/tools/updpack/updpack" "$work/copy/host/tools/updpack/"
cp "$win/update.exe" "$work/copy/win/"
cp "$win/tools/updpack/updpack.exe" "$work/copy/win/tools/updpack/"
chmod 700 "$work/copy/host/tools/updpack/updpack" "$work/copy/win/update.exe"
touch -d '2001-02-03 04:05:06' "$work/copy/win/update.exe"
python3 tools/dist/make_dist.py "$work/copy/host" "$work/copy/win" "$work/b" >/dev/null
version=$("$host/tools/updpack/updpack" --version | sed -n -E 's/^updpack ([0-9][0-9.]*).*/\1/p')
name="updater-$version"
[ -f "$work/a/$name.zip" ] || fail "no $name.zip (the version of updpack --version) in $(ls "$work/a")"
cmp "$work/a/$name.zip" "$work/b/$name.zip" || fail "two archives made from the same programs differ"
# Every entry with one time, a mode of 0644 or 0755 (0755 for the programs), no extra field.
python3 - "$work/a/$name.zip" <<'PY' || fail "the archive's entries are not uniform"
import sys, zipfile
entries = zipfile.ZipFile(sys.argv[1]).infolist()
programs = {"update.exe", "updpack.exe", "updpack"}
problems = []
if len({e.date_time for e in entries}) != 1:
    problems.append("times differ: " + str(sorted({e.date_time for e in entries})))
for e in entries:
    want = 0o100755 if e.filename.split("/", 1)[1] in programs else 0o100644
    if e.external_attr >> 16 != want:
        problems.append(f"{e.filename}: mode {oct(e.external_attr >> 16)}, not {oct(want)}")
    if e.extra:
        problems.append(f"{e.filename}: extra field")
if [e.filename for e in entries] != sorted((e.filename for e in entries), key=str.encode):
    problems.append("entries not in name order")
print("\n".join(problems), file=sys.stderr)
sys.exit(1 if problems else 0)
PY

echo "== unpacked: contents and SHA256SUMS"
unzip -q "$work/a/$name.zip" -d "$work/x"
[ "$(ls "$work/x")" = "$name" ] || fail "the archive holds more than its folder $name: $(ls "$work/x")"
dir="$work/x/$name"
for f in update.exe updpack.exe updpack LINUX-DEPENDENCIES.txt README.md SHA256SUMS \
         sample-update/UPDATE.INI; do
  [ -f "$dir/$f" ] || fail "$f is missing"
done
for f in update.exe updpack.exe updpack; do
  [ -x "$dir/$f" ] || fail "$f is not executable once unpacked"
done
cmp "$dir/update.exe" "$win/update.exe" || fail "update.exe is not the build's stub"
(cd "$dir" && sha256sum --quiet --strict -c SHA256SUMS) || fail "SHA256SUMS do not hold"
listed=$(sed -E 's/^[0-9a-f]{64}  //' "$dir/SHA256SUMS" | LC_ALL=C sort)
present=$(cd "$dir" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort)
[ "$listed" = "$present" ] || fail "SHA256SUMS does not name exactly the archive's files:
$(diff <(echo "$listed") <(echo "$present") || true)"

echo "== updpack.exe from the archive, under Wine: build, embed, verify the sample"
export UPD_WINE_ROOT=${UPD_WINE_ROOT:-$(cd "$win" && pwd)/wine}
wine_started=1
tests/wine/wine-run.sh --start
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
exe() { tests/wine/wine-run.sh "$dir/updpack.exe" "$@" | tr -d '\r'; }
exe build "$(winpath "$dir/sample-update")" -o "$(winpath "$work/update.fa3")" --level best \
  || fail "updpack.exe build failed"
exe embed "$(winpath "$work/update.fa3")" -o "$(winpath "$work/game_update.exe")" \
  || fail "updpack.exe embed, with the stub beside it, failed"
exe verify "$(winpath "$work/game_update.exe")" --against "$(winpath "$dir/sample-update")" \
  >"$work/verify.txt" || { cat "$work/verify.txt"; fail "updpack.exe verify failed"; }
cat "$work/verify.txt"
grep -q 'game_update.exe: executable not signed$' "$work/verify.txt" ||
  fail "verify did not say that the updater is not signed"
grep -q 'game_update.exe: sound, [0-9]* entries, contents checked; matches the folder' \
  "$work/verify.txt" || fail "verify did not find the updater sound and like the sample"

echo "== updpack (Linux) from the archive: the same package, and the updater read"
"$dir/updpack" build "$dir/sample-update" -o "$work/update-linux.fa3" --level best >/dev/null
cmp "$work/update.fa3" "$work/update-linux.fa3" ||
  fail "updpack and updpack.exe built different packages from the same folder"
"$dir/updpack" verify "$work/game_update.exe" >/dev/null || fail "updpack cannot verify the updater"
echo "dist-test: $name.zip passed"

#!/usr/bin/env bash
# updpack at scale: the publisher's commands on a 1.27 GB update (one 1 GiB compressible file,
# one 200 MB incompressible file), each with its time and peak resident memory (/usr/bin/time),
# beside a plain copy of the stub and the package; then verify against gzip -d of the same files
# on the bench's corpus. Figures only; it asserts nothing.
#   bench/updpack-scale.sh RELEASE_BUILD [STUB.exe]
# The stub defaults to update.exe of the windows build ($UPD_WINDOWS_BUILD or build/windows);
# without one the embed row is left out. Needs about 4 GB of disk under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: bench/updpack-scale.sh RELEASE_BUILD [STUB.exe]}
stub=${2:-${UPD_WINDOWS_BUILD:-build/windows}/update.exe}
updpack="$build/tools/updpack/updpack"
corpus="$build/bench/updcorpus"
for f in "$updpack" "$corpus"; do
  [ -x "$f" ] || { echo "bench/updpack-scale.sh: $f is missing (make bench builds it)" >&2; exit 1; }
done

work=build/bench-updpack
rm -rf "$work"
mkdir -p "$work/update"
trap 'rm -rf "$work"' EXIT

# The compressible file: 16 MiB of the corpus's text, bitmaps and binaries, over and over (each
# repeat lies far beyond the format's 8 KiB window, so it packs like fresh data of its kind).
"$corpus" "$work/seed" 40 7 >"$work/seed.tsv"
for n in $(awk -F'\t' '$1 != "media" {print $2}' "$work/seed.tsv"); do cat "$work/seed/$n"; done >"$work/all"
head -c $((16 << 20)) "$work/all" >"$work/block"
for _ in $(seq 64); do cat "$work/block"; done >"$work/update/level.dat"
head -c 200000000 /dev/urandom >"$work/update/movie.bin"
printf '[SETUP]\r\nCompanyName=BenchSoft\r\nGameTitle=Bench\r\nGameDir=BenchGame\r\nGameClass=BenchGameWindow\r\n[UPDATE]\r\nUpdateFile00=level.dat\r\nUpdateFile01=movie.bin\r\n' \
  >"$work/update/UPDATE.INI"
rm -rf "$work/seed" "$work/all" "$work/block"
sync

# One row: the command's wall time and peak resident memory.
row() {
  local what=$1 seconds kib
  shift
  if ! /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>"$work/err"; then
    echo "($what failed: $(tail -1 "$work/err"))"
  fi
  read -r seconds kib < <(tail -1 "$work/t")
  printf '%-34s %8.2f s %8d MiB\n' "$what" "$seconds" $((kib / 1024))
}

echo "== updpack on a 1.27 GB update (1 GiB compressible, 200 MB incompressible)"
row "build --level fast" "$updpack" build "$work/update" -o "$work/update.fa3" --level fast
printf '%-34s %8d bytes\n' "package" "$(stat -c %s "$work/update.fa3")"
row "verify" "$updpack" verify "$work/update.fa3"
row "list" "$updpack" list "$work/update.fa3"
row "extract" "$updpack" extract "$work/update.fa3" -C "$work/out"
rm -rf "$work/out"
if [ -f "$stub" ]; then
  row "embed" "$updpack" embed "$work/update.fa3" -o "$work/game_update.exe" --stub "$stub"
  rm -f "$work/game_update.exe"
  row "cp of stub and package" sh -c "cat '$stub' '$work/update.fa3' >'$work/copy.exe'"
  rm -f "$work/copy.exe"
else
  echo "(no $stub: embed needs the windows build's update.exe)"
fi
rm -rf "$work/update" "$work/update.fa3"

echo
echo "== verify against gzip -d on the corpus (the same files, each best of 5)"
"$corpus" "$work/corpus" 300 1 >/dev/null
"$updpack" build "$work/corpus" -o "$work/corpus.fa3" >/dev/null
mkdir -p "$work/gz"
for f in "$work"/corpus/*; do gzip -c "$f" >"$work/gz/$(basename "$f").gz"; done
best() {
  local b=
  for _ in 1 2 3 4 5; do
    /usr/bin/time -f '%e' -o "$work/t" "$@" >/dev/null 2>&1
    local t
    t=$(cat "$work/t")
    if [ -z "$b" ] || awk "BEGIN {exit !($t < $b)}"; then b=$t; fi
  done
  echo "$b"
}
v=$(best "$updpack" verify "$work/corpus.fa3")
g=$(best sh -c "gzip -dc '$work'/gz/*.gz >/dev/null")
printf '%-34s %8.2f s\n' "updpack verify" "$v" "gzip -dc of the same files" "$g"
awk -v v="$v" -v g="$g" 'BEGIN {printf "%-34s %8.2f\n", "verify / gzip -d", (g > 0 ? v / g : 0)}'

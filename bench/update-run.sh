#!/usr/bin/env bash
# The update run of the benchmark: a few hundred MB of mixed files (bench/corpus.h: text,
# bitmaps, binaries, incompressible media) packed as an update, applied by the real update.exe
# under Wine, against a plain copy (CopyFileW) of the same unpacked files into the same Wine
# drive, in one run. Prints both times, their ratio and the updater's peak working set beside
# the budget (package directory + largest entry + a few MiB). Figures only; it asserts nothing.
#   bench/update-run.sh RELEASE_BUILD WINDOWS_BUILD [MEGABYTES] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: bench/update-run.sh RELEASE_BUILD WINDOWS_BUILD [MEGABYTES] [ROUNDS]}
winbuild=${2:?usage: bench/update-run.sh RELEASE_BUILD WINDOWS_BUILD [MEGABYTES] [ROUNDS]}
megabytes=${3:-300}
rounds=${4:-3}
updpack="$build/tools/updpack/updpack"
corpus="$build/bench/updcorpus"
stub="$winbuild/update.exe"
driver="$winbuild/tools/driver/wizard_driver.exe"
for f in "$updpack" "$corpus" "$stub" "$driver"; do
  [ -f "$f" ] || { echo "bench/update-run.sh: $f is missing (make bench builds it)" >&2; exit 1; }
done

work=build/bench-update
mkdir -p "$work"
find "$work" -mindepth 1 -maxdepth 1 ! -name wine -exec rm -rf {} +
echo "== update run: $megabytes MB corpus"
"$corpus" "$work/files" "$megabytes" 1 >"$work/corpus.tsv"
names=$(cut -f2 "$work/corpus.tsv")
mkdir -p "$work/package"
ln "$work"/files/* "$work/package/"
{
  printf '[SETUP]\r\nCompanyName=BenchSoft\r\nGameTitle=Bench\r\nGameDir=BenchGame\r\nGameClass=BenchGameWindow\r\n'
  printf '[UPDATE]\r\n'
  i=0
  for n in $names; do printf 'UpdateFile%02d=%s\r\n' $i "$n"; i=$((i + 1)); done
} >"$work/package/UPDATE.INI"
"$updpack" build "$work/package" -o "$work/update.fa3" --level fast
# The package's header and directory: what is not entry data.
stored=$("$updpack" list --tsv "$work/update.fa3" | awk -F'\t' '{s += $4} END {print s}')
dir_bytes=$(( $(stat -c %s "$work/update.fa3") - stored ))
largest=$(cut -f3 "$work/corpus.tsv" | sort -n | tail -1)

export UPD_WINE_ROOT="$PWD/$work/wine"
trap 'tests/wine/wine-run.sh --stop' EXIT
tests/wine/wine-run.sh --start
drive="$UPD_WINE_ROOT/prefix/drive_c/bench"
rm -rf "$drive"
mkdir -p "$drive/game"
"$updpack" embed "$work/update.fa3" --stub "$stub" -o "$drive/update.exe" >/dev/null
printf '[SETUP]\r\nCompanyName=BenchSoft\r\nGameTitle=Bench\r\nGameDir=BenchGame\r\nGameExe=GAME.EXE\r\nUninstExe=UNINST.EXE\r\nSetupBmp=A.BMP\r\nInstallSelects=1\r\nInstallTitle0=T0\r\nInstallFiles0=F0.PAK\r\nShortcuts=1\r\nShortcut0=GAME.EXE,Game\r\nGameClass=BenchGameWindow\r\n' >"$drive/game/SETUP.INI"
tests/wine/wine-run.sh "$driver" install --company BenchSoft --game-dir BenchGame \
  --inst-path 'C:\bench\game' --mode 1 >/dev/null

pick() { sed -n "s/^$1: //p" "$2" | tr -d '\r'; }
best_copy= best_flush= best_update= peak=
for r in $(seq 1 "$rounds"); do
  # Both start from an empty target, with nothing of the last round still being written back.
  rm -rf "$drive/copy"; find "$drive/game" -type f ! -name SETUP.INI -delete; sync
  tests/wine/wine-run.sh "$driver" copy "Z:$PWD/$work/files" 'C:\bench\copy' >"$work/copy.log"
  rm -rf "$drive/copy"; sync
  tests/wine/wine-run.sh "$driver" copy "Z:$PWD/$work/files" 'C:\bench\copy' --flush >"$work/copy-flush.log"
  sync
  tests/wine/wine-run.sh "$driver" walk 'C:\bench\update.exe' --timeout 600 >"$work/walk.log" || {
    cat "$work/walk.log" >&2; exit 1; }
  c=$(pick copy-seconds "$work/copy.log"); u=$(pick update-seconds "$work/walk.log")
  cf=$(pick copy-seconds "$work/copy-flush.log")
  peak=$(pick peak-working-set "$work/walk.log")
  peak_start=$(pick peak-working-set-at-start "$work/walk.log")
  echo "round $r: copy ${c} s, copy+flush ${cf} s, update ${u} s, peak working set $peak bytes ($peak_start at the start page)"
  best_copy=$(python3 -c "print(min(x for x in [$c, ${best_copy:-1e9}]))")
  best_flush=$(python3 -c "print(min(x for x in [$cf, ${best_flush:-1e9}]))")
  best_update=$(python3 -c "print(min(x for x in [$u, ${best_update:-1e9}]))")
done
cmp -s "$work/files/$(echo "$names" | head -1)" "$drive/game/$(echo "$names" | head -1)" ||
  echo "warning: the updated file differs from the corpus" >&2

python3 - "$best_copy" "$best_flush" "$best_update" "$peak" "$largest" "$(du -b "$work/update.fa3" | cut -f1)" \
  "$megabytes" "$dir_bytes" "$peak_start" <<'PY'
import sys
copy, flush, update, peak, largest, package, mb, dir_bytes, peak_start = sys.argv[1:]
copy, flush, update = float(copy), float(flush), float(update)
largest, package = int(largest), int(package)
mib = 1 << 20
print('update run (best of the rounds): %d MB unpacked, package %.1f MiB' % (int(mb), package / mib))
print('  plain copy      %7.3f s  %7.1f MB/s' % (copy, int(mb) * 1.048576 / copy))
print('  copy + flush    %7.3f s  %7.1f MB/s  (each file written through, as the updater does)'
      % (flush, int(mb) * 1.048576 / flush))
print('  update.exe      %7.3f s  %7.1f MB/s' % (update, int(mb) * 1.048576 / update))
print('  ratio update/copy %.2f (goal: at most 1.20); update/(copy + flush) %.2f'
      % (update / copy, update / flush))
if peak.isdigit():
    budget = int(dir_bytes) + largest
    print('  peak working set %.1f MiB; package directory %d bytes + largest entry %.1f MiB = %.1f MiB'
          ' (goal: that + a few MiB; over it by %.1f MiB)'
          % (int(peak) / mib, int(dir_bytes), largest / mib, budget / mib, (int(peak) - budget) / mib))
    if peak_start.isdigit():
        start = int(peak_start)
        print('  at the start page, before the run: %.1f MiB, of which the package in the image'
              ' %.1f MiB (the rest, %.1f MiB, is Wine and the updater)'
              % (start / mib, package / mib, (start - package) / mib))
        print('  the run itself added %.1f MiB (largest entry %.1f MiB)'
              % ((int(peak) - start) / mib, largest / mib))
else:
    print('  peak working set: not reported by this Wine')
PY

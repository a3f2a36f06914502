#!/usr/bin/env bash
# The update run of the benchmark: a few hundred MB of mixed files (bench/corpus.h: text,
# bitmaps, binaries, incompressible media) packed as an update, applied by the real update.exe
# under Wine, beside general installers of the same files made with NSIS (zlib and solid LZMA)
# and two copies (CopyFileW, plain and flushed per file) into the same Wine drive, in one run.
# Prints the times, MB/s and ratios, and the memory the run took beside its budget (package
# directory + 16 MiB) and the process's peak. Figures only; it asserts nothing.
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
find "$work" -mindepth 1 -maxdepth 1 ! -name wine ! -name nsis -exec rm -rf {} +
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

# The same files as general installers made with NSIS (a zlib one, as fast as NSIS gets, and a
# solid LZMA one, the smallest), silent, into their own folder; each is timed from its start to
# its exit, less the time of an empty installer (Wine's process start).
# The installers are kept between runs for the same corpus (a solid LZMA one takes minutes to
# make); the corpus is the same for the same size and seed.
nsis=
if command -v makensis >/dev/null; then
  nsis=1
  mkdir -p "$work/nsis"
  key="$megabytes $(sha256sum "$work/corpus.tsv" | cut -c1-16) $(makensis -VERSION)"
  [ "$(cat "$work/nsis/key" 2>/dev/null)" = "$key" ] || rm -f "$work"/nsis/*
  for kind in zlib lzma empty; do
    case $kind in
      zlib) compressor='SetCompressor zlib'; files='File "../files/*"' ;;
      lzma) compressor='SetCompressor /SOLID lzma'; files='File "../files/*"' ;;
      empty) compressor='SetCompressor zlib'; files='' ;;
    esac
    if [ ! -f "$work/nsis/installer-$kind.exe" ]; then
      # The 64-bit stub: the bench's Wine runs 64-bit programs only.
      printf 'Target amd64-unicode\n%s\nName "Bench"\nOutFile "installer-%s.exe"\nSilentInstall silent\nRequestExecutionLevel user\nInstallDir "C:\\bench\\nsis"\nSection\n  SetOutPath $INSTDIR\n  %s\nSectionEnd\n' \
        "$compressor" "$kind" "$files" >"$work/nsis/installer-$kind.nsi"
      makensis -V1 "$work/nsis/installer-$kind.nsi" >/dev/null
    fi
    cp "$work/nsis/installer-$kind.exe" "$drive/"
  done
  echo "$key" >"$work/nsis/key"
else
  echo "(makensis is missing: no installer rows; make bench installs nsis)"
fi

pick() { sed -n "s/^$1: //p" "$2" | tr -d '\r'; }
min() { python3 -c "import sys; print(min(float(x) for x in sys.argv[1:] if x))" "$@"; }
best_copy= best_flush= best_update= best_zlib= best_lzma= peak=
for r in $(seq 1 "$rounds"); do
  # Each starts from an empty target, with nothing of the last one still being written back.
  rm -rf "$drive/copy"; find "$drive/game" -type f ! -name SETUP.INI -delete; sync
  tests/wine/wine-run.sh "$driver" copy "Z:$PWD/$work/files" 'C:\bench\copy' >"$work/copy.log"
  rm -rf "$drive/copy"; sync
  tests/wine/wine-run.sh "$driver" copy "Z:$PWD/$work/files" 'C:\bench\copy' --flush >"$work/copy-flush.log"
  rm -rf "$drive/copy"; sync
  tests/wine/wine-run.sh "$driver" walk 'C:\bench\update.exe' --timeout 600 >"$work/walk.log" || {
    cat "$work/walk.log" >&2; exit 1; }
  c=$(pick copy-seconds "$work/copy.log"); u=$(pick update-seconds "$work/walk.log")
  cf=$(pick copy-seconds "$work/copy-flush.log")
  peak=$(pick peak-working-set "$work/walk.log")
  peak_start=$(pick peak-working-set-at-start "$work/walk.log")
  line="round $r: copy ${c} s, copy+flush ${cf} s, update ${u} s"
  if [ -n "$nsis" ]; then
    for kind in empty zlib lzma; do
      rm -rf "$drive/nsis"; sync
      tests/wine/wine-run.sh "$driver" run "C:\\bench\\installer-$kind.exe" /S '/D=C:\bench\nsis' \
        >"$work/nsis-$kind.log"
    done
    e=$(pick run-seconds "$work/nsis-empty.log")
    z=$(python3 -c "print(round($(pick run-seconds "$work/nsis-zlib.log") - $e, 3))")
    l=$(python3 -c "print(round($(pick run-seconds "$work/nsis-lzma.log") - $e, 3))")
    cmp -s "$work/files/$(echo "$names" | head -1)" "$drive/nsis/$(echo "$names" | head -1)" ||
      echo "warning: the NSIS installer's file differs from the corpus" >&2
    best_zlib=$(min "$z" "$best_zlib"); best_lzma=$(min "$l" "$best_lzma")
    line="$line, NSIS zlib $z s, NSIS lzma $l s (empty installer $e s)"
  fi
  echo "$line, peak working set $peak bytes ($peak_start at the start page)"
  best_copy=$(min "$c" "$best_copy"); best_flush=$(min "$cf" "$best_flush")
  best_update=$(min "$u" "$best_update")
done
for n in $names; do
  cmp -s "$work/files/$n" "$drive/game/$n" || echo "warning: the updated $n differs from the corpus" >&2
done

python3 - "$best_copy" "$best_flush" "$best_update" "$peak" "$largest" "$(du -b "$work/update.fa3" | cut -f1)" \
  "$megabytes" "$dir_bytes" "$peak_start" "${best_zlib:-}" "${best_lzma:-}" <<'PY'
import sys
copy, flush, update, peak, largest, package, mb, dir_bytes, peak_start, zlib, lzma = sys.argv[1:]
copy, flush, update = float(copy), float(flush), float(update)
largest, package, mb = int(largest), int(package), int(mb)
mib = 1 << 20
print('update run (best of the rounds): %d MB unpacked, largest file %.1f MiB, package %.1f MiB'
      % (mb, largest / mib, package / mib))
rows = [('update.exe', update)]
if zlib: rows.append(('NSIS zlib', float(zlib)))
if lzma: rows.append(('NSIS /SOLID lzma', float(lzma)))
rows += [('copy + flush', flush), ('plain copy', copy)]
print('  %-18s %9s %9s %16s' % ('', 'seconds', 'MB/s', 'update.exe / it'))
for name, t in rows:
    print('  %-18s %9.3f %9.1f %16.2f' % (name, t, mb * 1.048576 / t, update / t))
goals = ['update/(copy + flush) %.2f (goal: at most 2)' % (update / flush)]
if zlib: goals.insert(0, 'update/NSIS zlib %.2f (goal: at most 0.8)' % (update / float(zlib)))
print('  ' + '; '.join(goals))
if peak.isdigit():
    peak = int(peak)
    budget = int(dir_bytes) + 16 * mib
    if peak_start.isdigit():
        start = int(peak_start)
        run = peak - start
        print('  memory the run took: %.1f MiB (peak %.1f MiB less %.1f MiB at the start page);'
              ' budget: package directory %d bytes + 16 MiB = %.1f MiB'
              % (run / mib, peak / mib, start / mib, int(dir_bytes), budget / mib))
        print('  the process at its peak: %.1f MiB, of which the package in the image %.1f MiB'
              ' (the rest is Wine and the updater)' % (peak / mib, package / mib))
    else:
        print('  peak working set %.1f MiB (no figure at the start page)' % (peak / mib))
else:
    print('  peak working set: not reported by this Wine')
PY

# The update with a 1 GiB entry (UPD_BENCH_SKIP_BIG=1 skips it): one 1 GiB compressible file
# (16 MiB of the corpus's kinds over and over, each repeat beyond the format's window) and a
# 200 MB incompressible one, one run, beside a flushed copy of the same files.
[ -n "${UPD_BENCH_SKIP_BIG:-}" ] && exit 0
big="$work/big"
rm -rf "$big" "$drive/copy" "$drive/big.exe"
find "$drive/game" -type f ! -name SETUP.INI -delete
mkdir -p "$big/update"
"$corpus" "$big/seed" 40 7 >"$big/seed.tsv"
for n in $(awk -F'\t' '$1 != "media" {print $2}' "$big/seed.tsv"); do cat "$big/seed/$n"; done >"$big/all"
head -c $((16 << 20)) "$big/all" >"$big/block"
for _ in $(seq 64); do cat "$big/block"; done >"$big/update/level.dat"
head -c 200000000 /dev/urandom >"$big/update/movie.bin"
rm -rf "$big/seed" "$big/all" "$big/block"
printf '[SETUP]\r\nCompanyName=BenchSoft\r\nGameTitle=Bench\r\nGameDir=BenchGame\r\nGameClass=BenchGameWindow\r\n[UPDATE]\r\nUpdateFile00=level.dat\r\nUpdateFile01=movie.bin\r\n' \
  >"$big/update/UPDATE.INI"
"$updpack" build "$big/update" -o "$big/update.fa3" --level fast >/dev/null
"$updpack" embed "$big/update.fa3" --stub "$stub" -o "$drive/big.exe" >/dev/null
big_dir=$(( $(stat -c %s "$big/update.fa3") - $("$updpack" list --tsv "$big/update.fa3" | awk -F'\t' '{s += $4} END {print s}') ))
rm -f "$big/update/UPDATE.INI"
sync
tests/wine/wine-run.sh "$driver" copy "Z:$PWD/$big/update" 'C:\bench\copy' --flush >"$big/copy-flush.log"
rm -rf "$drive/copy"; sync
tests/wine/wine-run.sh "$driver" walk 'C:\bench\big.exe' --timeout 900 >"$big/walk.log" || {
  cat "$big/walk.log" >&2; exit 1; }
for n in level.dat movie.bin; do
  cmp -s "$big/update/$n" "$drive/game/$n" || echo "warning: the updated $n differs" >&2
done
python3 - "$(pick copy-seconds "$big/copy-flush.log")" "$(pick update-seconds "$big/walk.log")" \
  "$(pick peak-working-set "$big/walk.log")" "$(pick peak-working-set-at-start "$big/walk.log")" \
  "$(stat -c %s "$big/update.fa3")" "$big_dir" <<'PY'
import sys
flush, update, peak, start, package, dir_bytes = sys.argv[1:]
flush, update, package = float(flush), float(update), int(package)
mib = 1 << 20
mb = (1 << 30) / 1e6 + 200
print('update with a 1 GiB entry (1 GiB compressible + 200 MB incompressible), package %.1f MiB'
      % (package / mib))
print('  update.exe      %7.3f s %7.1f MB/s' % (update, mb / update))
print('  copy + flush    %7.3f s %7.1f MB/s   update.exe / it %.2f' % (flush, mb / flush, update / flush))
if peak.isdigit() and start.isdigit():
    peak, start = int(peak), int(start)
    print('  memory the run took: %.1f MiB (budget: package directory %s bytes + 16 MiB);'
          ' the process at its peak %.1f MiB, of which the package in the image %.1f MiB'
          % ((peak - start) / mib, dir_bytes, peak / mib, package / mib))
PY
rm -rf "$big" "$drive/big.exe" "$drive/game/level.dat" "$drive/game/movie.bin"

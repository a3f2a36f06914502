#!/usr/bin/env bash
# Times `updpack build` on many small files (by default 2,000 files of 2 KB), the case where
# per-file costs of the encoder show: bench/many-small-files.sh BUILD_DIR [FILES] [BYTES] [LEVEL]
# Prints the wall, user and system seconds and the package size; asserts nothing.
set -euo pipefail
build=${1:?usage: bench/many-small-files.sh BUILD_DIR [FILES] [BYTES] [LEVEL]}
files=${2:-2000}
bytes=${3:-2048}
level=${4:-default}
updpack="$build/tools/updpack/updpack"
if [ ! -x "$updpack" ]; then
  echo "bench/many-small-files.sh: $updpack is missing; build first (make release)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
# Text-like files from a fixed seed, so every run packs the same bytes.
python3 - "$work/in" "$files" "$bytes" <<'PY'
import random, sys
folder, files, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(20240315)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9)))
         for _ in range(400)]
for i in range(files):
    text = ''
    while len(text) < size:
        text += ' '.join(rng.choice(words) for _ in range(rng.randint(3, 12))) + '\r\n'
    with open(f'{folder}/file{i:05d}.txt', 'w', newline='') as f:
        f.write(text[:size])
PY
printf '[SETUP]\r\n' >"$work/in/UPDATE.INI"
# Fixed times: the directory (which records them) packs the same on every run.
touch -d "2024-03-15 12:00:00 UTC" "$work"/in/*
TIMEFORMAT='%R %U %S'
{ time "$updpack" build "$work/in" -o "$work/p.fa3" --level "$level" >/dev/null; } 2>"$work/t"
read -r real user sys <"$work/t"
echo "many small files: $files x $bytes bytes, level $level: ${real} s wall, ${user} s user," \
     "${sys} s system; package $(wc -c <"$work/p.fa3") bytes"

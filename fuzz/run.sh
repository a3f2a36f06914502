#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while (not part of `make test`).
#   fuzz/run.sh [SECONDS] [BUILD_DIR]      default: 60 seconds each, build/fuzz
# New inputs found go to BUILD_DIR/corpus-*; the seed corpora under fuzz/corpus stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${2:-build/fuzz}
cxx=${CXX_FUZZ:-clang++}
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Isrc -Itools/updpack)
"$cxx" "${flags[@]}" fuzz/decompress_fuzzer.cpp src/package/decoder.cpp -o "$out/decompress_fuzzer"
"$cxx" "${flags[@]}" fuzz/package_fuzzer.cpp src/package/decoder.cpp src/package/container.cpp \
  src/package/integrity.cpp tools/updpack/package_reader.cpp tools/updpack/entry_name.cpp \
  -o "$out/package_fuzzer"
"$cxx" "${flags[@]}" fuzz/update_section_fuzzer.cpp src/config/update_section.cpp \
  src/config/profile.cpp src/config/text_format.cpp src/config/error_box.cpp src/run/state.cpp \
  src/package/container.cpp src/package/decoder.cpp -o "$out/update_section_fuzzer"
for target in decompress package update_section; do
  work="$out/corpus-$target"
  mkdir -p "$work"
  echo "== ${target}_fuzzer, ${seconds} s"
  seeds=(); [ -d "fuzz/corpus/$target" ] && seeds=("fuzz/corpus/$target")
  "$out/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$out/$target-" "$work" "${seeds[@]}" 2>&1 |
    grep -E '^(#[0-9]+ +DONE|Done|stat::number_of_executed_runs|stat::peak_rss|==[0-9]+==ERROR|SUMMARY)' || true
done

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while (not part of `make test`).
#   fuzz/run.sh [SECONDS] [BUILD_DIR] [TARGET...]   default: 60 seconds each, build/fuzz, all
# New inputs found go to BUILD_DIR/corpus-*; the seed corpora under fuzz/corpus stay as they are.
# FUZZ_RUNS=N runs each target for N executions instead (the time limit still applies);
# FUZZ_BUILD_ONLY=1 only builds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${2:-build/fuzz}
shift $(( $# < 2 ? $# : 2 ))
cxx=${CXX_FUZZ:-clang++}
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Isrc -Itools/updpack/lib -Itools/updpack/cli)
# The profile reader; it shows no box and keeps no run-wide state.
profile=(src/config/profile.cpp src/config/text_format.cpp)
pe=(tools/updpack/lib/pe_image.cpp tools/updpack/lib/pe_resources.cpp tools/updpack/lib/pe_update.cpp
    tools/updpack/lib/embed.cpp)

declare -A sources=(
  [decompress]="src/package/decoder.cpp"
  [stream_decoder]="src/package/decoder.cpp"
  [package]="src/package/decoder.cpp src/package/container.cpp src/package/integrity.cpp tools/updpack/lib/package_reader.cpp tools/updpack/lib/entry_name.cpp"
  [update_section]="src/config/update_section.cpp ${profile[*]} src/package/container.cpp src/package/decoder.cpp"
  [profile]="${profile[*]}"
  [list]="${profile[*]}"
  [join_path]="${profile[*]}"
  [decimal]="${profile[*]}"
  [setup]="src/config/setup_description.cpp src/config/description_keys.cpp ${profile[*]}"
  [embed]="${pe[*]}"
  [item_path]="src/config/item_path.cpp"
)
all=(decompress stream_decoder package update_section profile list join_path decimal setup embed item_path)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

for target in "${targets[@]}"; do
  [ -n "${sources[$target]+x}" ] || { echo "unknown target: $target (known: ${all[*]})" >&2; exit 2; }
  # shellcheck disable=SC2086  # the source lists are words
  "$cxx" "${flags[@]}" "fuzz/${target}_fuzzer.cpp" ${sources[$target]} -o "$out/${target}_fuzzer"
done
[ "${FUZZ_BUILD_ONLY:-0}" = 1 ] && exit 0

runs=()
[ -n "${FUZZ_RUNS:-}" ] && runs=(-runs="$FUZZ_RUNS")
for target in "${targets[@]}"; do
  work="$out/corpus-$target"
  mkdir -p "$work"
  echo "== ${target}_fuzzer, ${seconds} s${FUZZ_RUNS:+, at most $FUZZ_RUNS runs}"
  seeds=(); [ -d "fuzz/corpus/$target" ] && seeds=("fuzz/corpus/$target")
  "$out/${target}_fuzzer" -max_total_time="$seconds" "${runs[@]}" -print_final_stats=1 \
    -artifact_prefix="$out/$target-" "$work" "${seeds[@]}" 2>&1 |
    grep -E '^(#[0-9]+[[:space:]]+DONE|Done|stat::number_of_executed_runs|stat::peak_rss|==[0-9]+==ERROR|SUMMARY)' || true
done

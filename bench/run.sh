#!/usr/bin/env bash
# Runs the benchmarks of a build made with UPD_BENCH (the release preset): bench/run.sh BUILD_DIR
# [MEGABYTES] [SEED]. The figures are ratios measured side by side in one run.
set -euo pipefail
build=${1:?usage: bench/run.sh BUILD_DIR [MEGABYTES] [SEED]}
shift
bin="$build/bench/updbench"
if [ ! -x "$bin" ]; then
  echo "bench/run.sh: $bin is missing; build with the release preset (make bench)" >&2
  exit 1
fi
"$bin" "$@"
echo
# What the updater's integrity check at start-up costs on a package of the same corpus.
exec "$build/bench/integrity_bench" "$@"

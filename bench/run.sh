#!/usr/bin/env bash
# Runs the benchmarks of a build made with UPD_BENCH (the release preset): bench/run.sh BUILD_DIR
# [MEGABYTES] [SEED]. The figures are ratios measured side by side in one run. Then, when the
# windows build has update.exe and wizard_driver.exe (make bench builds them), the update run:
# the real updater under Wine against a plain copy (bench/update-run.sh; UPD_BENCH_UPDATE_MB
# sets its size, 300 by default).
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
"$build/bench/integrity_bench" "$@"
echo
# updpack's commands on a 1.27 GB update: time and peak memory (UPD_BENCH_SKIP_SCALE=1 skips it).
if [ -z "${UPD_BENCH_SKIP_SCALE:-}" ]; then
  "$(dirname "$0")/updpack-scale.sh" "$build"
fi
winbuild=${UPD_WINDOWS_BUILD:-build/windows}
if [ -f "$winbuild/update.exe" ] && [ -f "$winbuild/tools/driver/wizard_driver.exe" ]; then
  echo
  "$(dirname "$0")/update-run.sh" "$build" "$winbuild" "${UPD_BENCH_UPDATE_MB:-300}"
else
  echo
  echo "(no $winbuild/update.exe or wizard_driver.exe: the update run needs the windows build)"
fi

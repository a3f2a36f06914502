#!/usr/bin/env bash
# Builds both presets and runs both test suites; the last line sums them up.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
status=0
summary() {  # ctest prints "N% tests passed, F tests failed out of T"
  sed -n -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1 \2/p' "$1" | tail -1
}
pass=0; fail=0
for preset in native windows; do
  log=build/test-$preset.log
  mkdir -p build
  if ! { cmake --preset $preset >/dev/null && cmake --build --preset $preset -j"$jobs" >/dev/null; }; then
    echo "== $preset: build failed"
    cmake --build --preset $preset -j1 2>&1 | grep -E 'error|Error' | head -40
    status=1; fail=$((fail + 1)); continue
  fi
  echo "== $preset tests"
  ctest --preset $preset -j"$jobs" --timeout 900 --output-on-failure 2>&1 | tee "$log" |
    grep -E 'tests passed|\*\*\*|Failed|Timeout' || true
  # What failed, and where: the assertions of the failing tests, without the rest of their output.
  grep -E -A4 ': Failure$|^\[  FAILED  \] [A-Za-z]' "$log" | head -80 || true
  read -r f t <<<"$(summary "$log")"
  if [ -z "${t:-}" ]; then status=1; fail=$((fail + 1)); continue; fi
  [ "$f" -eq 0 ] || status=1
  pass=$((pass + t - f)); fail=$((fail + f))
done
echo "$pass passed, $fail failed"
exit $status

#!/usr/bin/env bash
# Builds both presets and runs both test suites, then the release archive's test with the
# programs of both builds; the last line sums them up.
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
# The release archive, made of the two builds' programs (no build of its own): reproducible,
# its checksums, and updpack.exe from it under Wine.
echo "== release archive test"
if tests/dist/dist-test.sh build/native build/windows >build/test-dist.log 2>&1; then
  pass=$((pass + 1))
else
  tail -20 build/test-dist.log
  status=1; fail=$((fail + 1))
fi
echo "$pass passed, $fail failed"
exit $status

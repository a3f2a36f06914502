#!/usr/bin/env bash
# Runs every command that README.md and docs/*.md show, so that the docs cannot drift from the
# tools. make test runs it (ctest entry doc_commands of the native build).
#   tests/docs/run-doc-commands.sh UPDPACK DOC_STUB [SCRATCH_DIR [DOC.md...]]
# UPDPACK: the updpack to run; DOC_STUB: the program that writes a stand-in update.exe (the
# native build's doc_stub); SCRATCH_DIR: where the documents run (made afresh; default a new
# temporary folder, removed when every block passed); DOC.md: the documents (default README.md
# and docs/*.md).
#
# The marking, as docs/design.md ("The docs' commands") tells the writers:
#   ```sh            run: a new bash (-euo pipefail) in the document's own scratch folder;
#                    files stay from block to block, variables and cd do not
#   ```sh not-run    shown only (it needs Wine, a real certificate or a timestamp server);
#                    the docs say why next to it
#   ```output        right after a run block: what that block prints (stdout and stderr),
#                    compared exactly
# A ```bash, ```shell or ```console block, or any other word after sh, is an error: a command
# must be in a block that says whether it runs. Other blocks (```ini, ```text, ```bat) are text.
#
# Each document's scratch folder holds what the release archive holds: sample-update/ (a copy
# of examples/sample-update) and, on PATH, updpack with a stand-in update.exe beside it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
updpack=${1:?usage: run-doc-commands.sh UPDPACK DOC_STUB [SCRATCH_DIR [DOC.md...]]}
stub_writer=${2:?usage: run-doc-commands.sh UPDPACK DOC_STUB [SCRATCH_DIR [DOC.md...]]}
scratch=${3:-}
shift $(($# < 3 ? $# : 3))
[ -x "$updpack" ] || { echo "run-doc-commands: $updpack is no program" >&2; exit 2; }

own_scratch=0
if [ -z "$scratch" ]; then
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/doc-commands.XXXXXX")
  own_scratch=1
fi
rm -rf "$scratch"
mkdir -p "$scratch/bin"
# updpack finds update.exe beside its own file (/proc/self/exe): a link of the program itself,
# not a symbolic one, with the stand-in beside it.
ln "$updpack" "$scratch/bin/updpack" 2>/dev/null || cp "$updpack" "$scratch/bin/updpack"
"$stub_writer" "$scratch/bin/update.exe"

docs=("$@")
if [ ${#docs[@]} -eq 0 ]; then
  docs=("$root/README.md")
  for f in "$root"/docs/*.md; do docs+=("$f"); done
fi

status=0
python3 - "$root" "$scratch" "${docs[@]}" <<'PY' || status=$?
import difflib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

root, scratch = Path(sys.argv[1]), Path(sys.argv[2])
docs = [Path(d) for d in sys.argv[3:]]
FENCE = re.compile(r"^(\s*)(`{3,})(.*)$")
SHELLS = {"sh", "bash", "shell", "console", "zsh", "shell-session"}


def blocks(path):
    """(line, info words, text) of every fenced block of the document."""
    lines = path.read_text(encoding="utf-8").split("\n")
    out, i = [], 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, info = m.group(1), m.group(2), m.group(3).split()
        start, body = i + 1, []
        i += 1
        # The block ends at a line of backticks only, at least as many as opened it.
        while i < len(lines) and not (set(lines[i].strip()) == {"`"} and len(lines[i].strip()) >= len(fence)):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
            i += 1
        if i >= len(lines):
            raise SystemExit(f"{path}:{start}: a fenced block that does not end")
        out.append((start, info, "\n".join(body) + "\n", i + 1))
        i += 1
    return out


def show(path):
    try:
        return str(path.relative_to(root))
    except ValueError:
        return str(path)


env = dict(os.environ)
env["PATH"] = f"{scratch / 'bin'}:{env['PATH']}"
env["LC_ALL"] = "C.UTF-8"
env["TZ"] = "UTC"
env.pop("CDPATH", None)

failures, ran, compared, shown = 0, 0, 0, 0
for doc in docs:
    name = show(doc)
    work = scratch / re.sub(r"[^A-Za-z0-9._-]", "_", name)
    work.mkdir(parents=True)
    shutil.copytree(root / "examples/sample-update", work / "sample-update")
    try:
        found = blocks(doc)
    except SystemExit as e:
        print(f"FAIL {e}")
        failures += 1
        continue
    last_run = None  # (line, output, end line) of the run block just before
    for line, info, text, end in found:
        where = f"{name}:{line}"
        lang = info[0] if info else ""
        if lang == "output":
            if last_run is None or last_run[2] is None:
                print(f"FAIL {where}: an output block must follow a ```sh block that runs")
                failures += 1
                break
            compared += 1
            _, got, _ = last_run
            if got != text:
                print(f"FAIL {where}: the output differs from what the block at line {last_run[0]} prints")
                sys.stdout.writelines(difflib.unified_diff(
                    text.splitlines(keepends=True), got.splitlines(keepends=True),
                    "shown in " + name, "printed"))
                failures += 1
                break
            last_run = None
            continue
        previous, last_run = last_run, None
        if lang not in SHELLS:
            continue
        if lang != "sh" or info[1:] not in ([], ["not-run"]):
            print(f"FAIL {where}: ```{' '.join(info)}: mark commands as ```sh (run) or ```sh not-run")
            failures += 1
            break
        if info[1:] == ["not-run"]:
            shown += 1
            last_run = (line, None, None)
            continue
        ran += 1
        r = subprocess.run(["bash", "-euo", "pipefail", "-c", text], cwd=work, env=env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        got = r.stdout.decode("utf-8", errors="replace")
        if r.returncode != 0:
            print(f"FAIL {where}: the block ends with exit code {r.returncode}")
            print("---- block\n" + text + "---- printed\n" + got + "----")
            failures += 1
            break
        last_run = (line, got, end)
    # The blocks after a failure depend on what it should have made: the document stops there.

print(f"doc commands: {ran} blocks run, {compared} outputs compared, {shown} shown but not run, "
      f"{failures} failed, in {len(docs)} document(s)")
sys.exit(1 if failures else 0)
PY

if [ $status -eq 0 ] && [ $own_scratch -eq 1 ]; then
  rm -rf "$scratch"
elif [ $status -ne 0 ]; then
  echo "run-doc-commands: the documents' folders are kept in $scratch" >&2
fi
exit $status

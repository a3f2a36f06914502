#!/usr/bin/env python3
"""Writes the release archive OUT_DIR/updater-<version>.zip from finished builds.

    tools/dist/make_dist.py HOST_BUILD WINDOWS_BUILD OUT_DIR     (make dist: build/release
                                                                 build/windows build/dist)

The archive holds one folder, updater-<version>/: update.exe (the updater without a package,
the stub that `updpack embed` puts a package into), updpack.exe (Windows) and updpack (Linux)
beside it, so that both find the stub without --stub, LINUX-DEPENDENCIES.txt (what the Linux
updpack needs of the system), README.md, docs/, sample-update/ and SHA256SUMS over all of them.

The same inputs give the same archive, byte for byte: entries in name order, every entry with
the same time (SOURCE_DATE_EPOCH when set, else a fixed one), permissions set here (0755 for the
programs, 0644 for the rest) rather than taken from the disk, no extra fields, deflate at level 9.
The version is the project's, from project(... VERSION ...) in CMakeLists.txt.
"""
import hashlib
import os
import re
import subprocess
import sys
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# 2024-03-15 12:00:00 UTC, when no SOURCE_DATE_EPOCH is given.
DEFAULT_EPOCH = 1710504000


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    m = re.search(r"^project\(\s*\w+\s+VERSION\s+([0-9][0-9.]*)", text, re.M)
    if not m:
        sys.exit("make_dist: no project(... VERSION ...) in CMakeLists.txt")
    return m.group(1)


def linux_dependencies(tool):
    """What the ELF `tool` loads (its NEEDED libraries) and the newest glibc symbol version it
    asks for, as a text for the archive; the tool's own build says whether it is static."""
    dynamic = subprocess.run(["readelf", "-d", str(tool)], capture_output=True, text=True,
                             check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    symbols = subprocess.run(["readelf", "-V", str(tool)], capture_output=True, text=True,
                             check=True).stdout
    glibc = sorted({tuple(int(x) for x in v.split(".")) for v in re.findall(r"GLIBC_([0-9.]+)", symbols)})
    lines = ["updpack for Linux (x86-64, ELF)", ""]
    if not needed:
        lines.append("Statically linked: it needs no shared library.")
    else:
        lines.append("It loads these shared libraries of the system:")
        lines += ["  " + n for n in needed]
        if glibc:
            lines += ["", "GNU C library " + ".".join(map(str, glibc[-1])) + " or newer (the newest "
                      "symbol version it asks for)."]
        lines += ["", "It converts file names between UTF-8 and code page 932 with the C library's",
                  "iconv: glibc's converter module CP932.so (gconv; in Debian's libc6) must be",
                  "installed."]
        lines += ["The C++ runtime (libstdc++, libgcc) is linked in."]
    return ("\n".join(lines) + "\n").encode()


def archive_files(host_build, windows_build):
    """(path in the archive, bytes, executable) for every file but SHA256SUMS."""
    files = []

    def add(name, data, executable=False):
        files.append((name, data, executable))

    for name, built in [("update.exe", windows_build / "update.exe"),
                        ("updpack.exe", windows_build / "tools/updpack/updpack.exe"),
                        ("updpack", host_build / "tools/updpack/updpack")]:
        if not built.is_file():
            sys.exit(f"make_dist: {built} is missing; build it first (make dist does)")
        add(name, built.read_bytes(), executable=True)
    add("LINUX-DEPENDENCIES.txt", linux_dependencies(host_build / "tools/updpack/updpack"))
    add("README.md", (ROOT / "README.md").read_bytes())
    for folder, into in [(ROOT / "docs", "docs"), (ROOT / "examples/sample-update", "sample-update")]:
        if not folder.is_dir():
            continue
        for f in sorted(folder.rglob("*")):
            if f.is_file():
                add(into + "/" + f.relative_to(folder).as_posix(), f.read_bytes())
    return files


def write_zip(path, prefix, files, epoch):
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip time begins in 1980
    tmp = path.with_name(path.name + ".tmp")
    with zipfile.ZipFile(tmp, "w") as z:
        for name, data, executable in sorted(files, key=lambda f: f[0].encode()):
            info = zipfile.ZipInfo(prefix + name, date_time=stamp)
            info.create_system = 3  # Unix, so that the permissions below are read
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data, compresslevel=9)
    os.replace(tmp, path)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: tools/dist/make_dist.py HOST_BUILD WINDOWS_BUILD OUT_DIR")
    host_build, windows_build, out_dir = (Path(a) for a in sys.argv[1:])
    version = project_version()
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", DEFAULT_EPOCH))
    files = archive_files(host_build, windows_build)
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, data, _ in sorted(files, key=lambda f: f[0].encode()))
    files.append(("SHA256SUMS", sums.encode(), False))
    out_dir.mkdir(parents=True, exist_ok=True)
    archive = out_dir / f"updater-{version}.zip"
    write_zip(archive, f"updater-{version}/", files, epoch)
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    print(f"{archive}: {len(files)} files, {archive.stat().st_size} bytes, sha256 {digest}")


if __name__ == "__main__":
    main()

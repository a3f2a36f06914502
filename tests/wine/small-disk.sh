#!/usr/bin/env bash
# Runs a Windows test with a small real disk: a tmpfs of SIZE bytes, mapped to a free drive letter
# of the bench's prefix for the run and removed afterwards, whatever the test does.
#   small-disk.sh SIZE WINE_RUN PROGRAM.exe [ARGS...]
# The program learns the drive from UPD_SMALL_DISK ("s:") and its size from
# UPD_SMALL_DISK_BYTES; without a disk (not root, mount refused), UPD_SMALL_DISK_SKIP says why.
set -uo pipefail

size=$1 wine_run=$2
shift 2
root=${UPD_WINE_ROOT:?UPD_WINE_ROOT must name the bench folder}
prefix=$root/prefix
mnt= link=

cleanup() {
  [ -n "$link" ] && rm -f "$link"
  if [ -n "$mnt" ]; then
    umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null
    rmdir "$mnt" 2>/dev/null
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A first run outside ctest makes the prefix here.
[ -d "$prefix/dosdevices" ] || "$wine_run" cmd.exe /c exit >/dev/null 2>&1 </dev/null

if [ "$(id -u)" -ne 0 ]; then
  export UPD_SMALL_DISK_SKIP="mounting a tmpfs needs root"
else
  mnt=$(mktemp -d "$root/small-disk.XXXXXX")
  if ! err=$(mount -t tmpfs -o "size=$size,mode=0777" tmpfs "$mnt" 2>&1); then
    rmdir "$mnt"
    mnt=
    export UPD_SMALL_DISK_SKIP="mount -t tmpfs failed: $err"
  else
    # ln -sT fails when the name exists (without -T it would put the link inside the folder that
    # a taken letter points to), so two runs never take the same letter.
    for letter in s t u v w x y; do
      if ln -sT "$mnt" "$prefix/dosdevices/$letter:" 2>/dev/null; then
        link=$prefix/dosdevices/$letter:
        export UPD_SMALL_DISK="${letter^^}:" UPD_SMALL_DISK_BYTES=$size
        break
      fi
    done
    [ -n "$link" ] || export UPD_SMALL_DISK_SKIP="no free drive letter in $prefix/dosdevices"
  fi
fi

"$wine_run" "$@"

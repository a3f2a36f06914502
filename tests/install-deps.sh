#!/usr/bin/env bash
# Installs what the builds and tests need, only what is missing (a second run costs nothing).
set -euo pipefail
pkgs=(cmake g++ make g++-mingw-w64-x86-64-posix wine64 wine xvfb fonts-ipafont-gothic googletest
      libgtest-dev libbenchmark-dev zlib1g-dev liblz4-dev libxxhash-dev locales python3 fonts-wine
      openssl osslsigncode time)
# Extra packages a caller names (the benchmark's general installer, nsis).
pkgs+=("$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# Wine takes its ANSI code page from LC_ALL; the locales must exist for file names to map.
need_gen=0
for l in ja_JP en_US; do
  locale -a 2>/dev/null | grep -qi "^$l.utf-\?8$" || need_gen=1
done
if [ $need_gen -eq 1 ]; then
  $SUDO sed -i -E 's/^# *(en_US.UTF-8 UTF-8)/\1/; s/^# *(ja_JP.UTF-8 UTF-8)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages.
# Idempotent: when all packages are present it returns without touching apt.
set -euo pipefail
PKGS=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      libtomcrypt-dev libtommath-dev libcurl4-openssl-dev liblzma-dev
      libpng-dev libx11-dev zlib1g-dev
      xvfb x11-apps xz-utils python3 openjdk-17-jdk-headless
      clang libclang-rt-14-dev
      time openssl)  # the benchmarks' peak-memory reader and SHA3-256 yardstick
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any is missing. Safe to run again: it does nothing once all are there.
set -euo pipefail

packages=(cmake gcc g++ binutils clang make pkg-config python3 libstb-dev zlib1g-dev libgtest-dev libgmock-dev
          libbenchmark-dev valgrind libclang-rt-14-dev llvm-14
          python3-setuptools python3-wheel python3-venv python3-pip dpkg-dev)
# The manual pages' lint test, and bench/batch_jobs.sh.
packages+=(mandoc hyperfine)
# The browser test: headless Chromium and the colour profiles it renders with.
packages+=(chromium colord-data)
# The Dask cluster module's test; lintian for the package test, and
# python3-build for the source distribution's.
packages+=(python3-distributed lintian python3-build)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

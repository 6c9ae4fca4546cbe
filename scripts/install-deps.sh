#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# but only those that are missing (clang and its runtime: the fuzz targets).
set -euo pipefail

packages=(cmake ninja-build gcc g++ pkg-config libgtest-dev libgmock-dev libcli11-dev libfmt-dev
  python3-numpy python3-pytest clang libclang-rt-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

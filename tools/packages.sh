#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need.
set -euo pipefail

packages=(cmake g++ make pkg-config juce-modules-source libb64-dev
          libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth imagemagick
          fonts-ferrite-core fonts-jura
          clang-14 libclang-rt-14-dev llvm-14
          libcurl4-openssl-dev libcpp-httplib-dev libmicrohttpd-dev libsqlite3-dev libssl-dev)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Please run as root or install sudo: missing ${missing[*]}" >&2; exit 1; }
    as_root=(sudo)
fi
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the build's needs is missing.
# Usage: scripts/setup.sh [extra-package ...]
set -euo pipefail

packages=(g++ cmake make libgsl-dev zlib1g-dev libzstd-dev liblzma-dev libbz2-dev libgtest-dev libgmock-dev
  libboost-dev libsimdjson-dev libgrpc++-dev libprotobuf-dev protobuf-compiler protobuf-compiler-grpc libonnx-dev
  libssl-dev libxlsxwriter-dev "$@")
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

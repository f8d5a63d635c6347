#!/usr/bin/env bash
# Configures build/, the one release build that scripts/example.sh and
# scripts/test.sh share, with Ninja: both may run first, in either order,
# and a build/ that an older script made with another generator is made
# afresh rather than refused.
# Usage: scripts/configure.sh [cmake-option ...]
set -euo pipefail
cd "$(dirname "$0")/.."
cache=build/CMakeCache.txt
if [ -f "$cache" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; then
  rm -rf build
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null

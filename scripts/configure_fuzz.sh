#!/usr/bin/env bash
# Configures build-fuzz: clang with AddressSanitizer, UndefinedBehaviorSanitizer
# and libFuzzer's coverage on everything. The same build gives the fuzz targets
# and the tests under the sanitizers, so the sources are compiled once for both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh ninja-build clang libclang-rt-14-dev
# Line numbers in the reports, not full optimisation or full debug
# information, which double the build time.
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" -DKARVA_FUZZ=ON -DKARVA_WERROR=ON "$@" >/dev/null

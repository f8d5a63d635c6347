#!/usr/bin/env bash
# Builds and runs every test: the release build, then the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer (clang's build that
# also gives the fuzz targets) and the whole runs on several threads under
# ThreadSanitizer, with the Python tests beside them (the module, the
# service, the SQL in a throwaway PostgreSQL server and in DuckDB, which the
# tests start and stop, the ONNX models in onnxruntime, the workbooks in
# LibreOffice, the LaTeX in KaTeX and pdflatex), then the fuzz targets side
# by side, briefly (KARVA_FUZZ_SECONDS each, 6 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh ninja-build clang libclang-rt-14-dev python3 librsvg2-bin \
  pybind11-dev python3-dev python3-numpy python3-pandas python3-dask python3-distributed python3-pytest \
  python3-sklearn python3-grpcio python3-grpc-tools python3-onnx texlive-latex-base \
  libreoffice-calc-nogui python3-uno libreoffice-script-provider-python python3-openpyxl zstd xz-utils bzip2 strace sqlite3 wrk postgresql-15
bash scripts/node_packages.sh
jobs="$(nproc)"

# Debian's python3, which has Debian's numpy, pandas and Dask.
python=/usr/bin/python3

# Each part's heading says when it starts, in seconds from the first.
part() { echo "== $1 (at ${SECONDS} s)"; }

part "release build and tests, with the Python module"
bash scripts/configure.sh -DKARVA_TESTS=ON -DKARVA_WERROR=ON -DKARVA_PYTHON=ON -DPython_EXECUTABLE="$python"
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

# The Python tests mostly wait on the programs they drive, so they run in
# the background beside the sanitizers' builds, which keep both processors
# busy (the tests are made to pass on a loaded machine); their output
# follows the builds'.
part "the Python tests start, beside the sanitizers' builds"
python_log="$(mktemp)"
python_tests=""
trap 'if [ -n "$python_tests" ]; then kill "$python_tests" 2>/dev/null || true; fi; rm -f "$python_log"' EXIT
KARVA_BINARY="$PWD/build/karva" KARVA_BUILD_DIR="$PWD/build" PYTHONPATH="$PWD/build/python" \
  "$python" -m pytest -q -p no:cacheprovider python/tests >"$python_log" 2>&1 &
python_tests=$!

part "sanitizer build (clang, with the fuzz targets) and tests"
bash scripts/configure_fuzz.sh -DKARVA_TESTS=ON
cmake --build build-fuzz -j"$jobs"
ctest --test-dir build-fuzz -j"$jobs" --output-on-failure
# The whole runs drive the sanitizers' binary from the release build's
# tests; those on 7 threads are ThreadSanitizer's below.
KARVA_TEST_BINARY="$PWD/build-fuzz/karva" ctest --test-dir build -j"$jobs" -L e2e -E '[.]j7$' --output-on-failure

part "thread sanitizer build, whole runs on several threads"
# Only the binary, which the release build's tests drive; line numbers in
# its reports, not full optimisation or full debug information, which
# double the build time; no service, which these runs never use.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" \
  -DKARVA_TESTS=OFF -DKARVA_WERROR=ON -DKARVA_TSAN=ON -DKARVA_SERVE=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target karva
KARVA_TEST_BINARY="$PWD/build-tsan/karva" ctest --test-dir build -j"$jobs" -L e2e -R '[.]j7$' --output-on-failure

part "the Python tests: the package, the service, the SQL engines, the models for other programs"
python_status=0
wait "$python_tests" || python_status=$?
python_tests=""
cat "$python_log"
[ "$python_status" -eq 0 ] || { echo "== the Python tests failed ($python_status)"; exit 1; }

part "fuzz targets, side by side, briefly"
bash fuzz/run.sh "${KARVA_FUZZ_SECONDS:-6}"
echo "== all passed in ${SECONDS} s"

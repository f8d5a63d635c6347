#!/usr/bin/env bash
# Installs the tests' Node.js packages from the npm registry (Debian has
# none of them): DuckDB's engine into tests/render/duckdb, onnxruntime's
# CPU engine into tests/render/onnx and KaTeX into tests/render/latex, each
# at the versions its lock file names,
# with install scripts off (onnxruntime's would fetch GPU parts from
# elsewhere; its CPU library ships inside the package). Node.js itself
# comes from Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v node >/dev/null || bash scripts/setup.sh nodejs
command -v npm >/dev/null || bash scripts/setup.sh npm
install() {
  local folder="$1" marker="$2"
  [ -d "$folder/node_modules/$marker" ] && return 0
  npm ci --prefix "$folder" --ignore-scripts --no-audit --no-fund --loglevel=error
}
install tests/render/duckdb @duckdb/node-api
install tests/render/onnx onnxruntime-node
install tests/render/latex katex

#!/usr/bin/env bash
# Installs DuckDB's engine for the tests, from the npm registry as its
# Node.js package (Debian has no DuckDB), into tests/render/duckdb, at the
# version its lock file names; Node.js itself comes from Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v node >/dev/null || bash scripts/setup.sh nodejs
command -v npm >/dev/null || bash scripts/setup.sh npm
folder=tests/render/duckdb
[ -d "$folder/node_modules/@duckdb/node-api" ] && exit 0
npm ci --prefix "$folder" --no-audit --no-fund --loglevel=error

#!/usr/bin/env bash
# Times the whole tool on the 100000-row and 1000000-row sets, on one thread
# and on two, against the parse floor (read the file, convert every field
# with std::from_chars) in the same run, and prints rows per second, MB per
# second, the ratios of -j 2 to -j 1 in wall time and CPU time, and the peak
# memory of -j 2 (with the target, and without it); then the same for the
# CSV reading by names, compressed input against zcat | karva, and the whole
# process against a pandas + numpy script doing the same job.
#
# Usage: bench/run.sh [runs]   (default 10 runs per command; medians)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-10}"
bash scripts/setup.sh hyperfine libbenchmark-dev time zstd python3-pandas
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKARVA_BENCH=ON -DKARVA_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
mkdir -p bench/data
gen=build-bench/bench/bench_generate
[ -f bench/data/bench.key ] && [ -f bench/data/rows100k.csv ] || "$gen" 100000 bench/data/rows100k.csv bench/data/bench.key
[ -f bench/data/rows1m.csv ] || "$gen" 1000000 bench/data/rows1m.csv
[ -f bench/data/rows1m_id.csv ] ||
  awk 'NR == 1 { print "id," $0; next } { print "r" NR - 1 "," $0 }' bench/data/rows1m.csv > bench/data/rows1m_id.csv

karva=build-bench/karva
floor=build-bench/bench/bench_parse_floor
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# The median wall time and the mean CPU time (user + system) of each command
# hyperfine ran.
medians() {
  python3 - "$1" <<'PY'
import json, sys
for r in json.load(open(sys.argv[1]))["results"]:
    print(r["median"], r["user"] + r["system"], end=" ")
print()
PY
}

# Times `-j 1` and `-j 2` of one reading in the same hyperfine run.
pair() {
  local name="$1"; shift
  hyperfine -N -w 1 -r "$runs" --export-json "$tmp/$name.json" "$karva -j 1 $*" "$karva -j 2 $*" >/dev/null
  read -r one one_cpu two two_cpu < <(medians "$tmp/$name.json")
  awk -v n="$name" -v a="$one" -v b="$two" -v ac="$one_cpu" -v bc="$two_cpu" 'BEGIN {
    printf "%-6s -j 1 %.3f s, -j 2 %.3f s: -j 2 / -j 1 %.2f in wall time, %.2f in CPU time\n", n, a, b, b / a, bc / ac }'
}

for set in 100k 1m; do
  data="bench/data/rows$set.csv"
  # The fast path must write what the straightforward one writes.
  "$karva" -j 2 -y bench/data/bench.key "$data" "$tmp/fast.txt" > "$tmp/fast.log"
  build-bench/bench/bench_reference bench/data/bench.key "$data" "$tmp/reference.txt" y > "$tmp/reference.log"
  cmp -s "$tmp/fast.txt" "$tmp/reference.txt" || { echo "$set: output differs from the reference path" >&2; exit 1; }
  grep -qxF "$(cat "$tmp/reference.log")" "$tmp/fast.log" || { echo "$set: R-square differs" >&2; exit 1; }
  rows=$(($(wc -l < "$data") - 1))
  mb=$(awk -v b="$(stat -c %s "$data")" 'BEGIN { printf "%.1f", b / 1e6 }')
  hyperfine -N -w 1 -r "$runs" --export-json "$tmp/$set.json" "$floor $data" >/dev/null
  floor_s=$(medians "$tmp/$set.json" | cut -d' ' -f1)
  pair "$set" -y bench/data/bench.key "$data" "$tmp/out.txt"
  read -r one _ two _ < <(medians "$tmp/$set.json")
  peak_kb=$(/usr/bin/time -f %M "$karva" -j 2 -y bench/data/bench.key "$data" "$tmp/out.txt" 2>&1 >/dev/null | tail -1)
  cut -d, -f2- "$data" > "$tmp/no_target.csv"
  peak_nt_kb=$(/usr/bin/time -f %M "$karva" -j 2 -n bench/data/bench.key "$tmp/no_target.csv" "$tmp/out.txt" 2>&1 >/dev/null | tail -1)
  awk -v rows="$rows" -v mb="$mb" -v one="$one" -v two="$two" -v f="$floor_s" -v peak="$peak_kb" -v peaknt="$peak_nt_kb" 'BEGIN {
    printf "       %d rows, %.1f MB; floor %.3f s; -j 1 %.2f M rows/s (%.2f of the floor), -j 2 %.2f M rows/s\n",
      rows, mb, f, rows / one / 1e6, one / f, rows / two / 1e6
    printf "       peak (-j 2) %.1f MiB, no target %.1f MiB\n", peak / 1024, peaknt / 1024 }'
done

# Named columns: the 1M set with an ID column first, read as CSV with the
# inputs by name and the ID kept.
inputs=$(head -1 bench/data/rows1m.csv | cut -d, -f2-)
pair "csv" --csv --inputs "$inputs" --target=y --keep id bench/data/bench.key bench/data/rows1m_id.csv "$tmp/out.csv"

# Compressed input: decoding on its own thread against zcat | karva.
for tool in gzip zstd; do
  "$tool" -c bench/data/rows1m.csv > "$tmp/rows.$tool"
  hyperfine -N -w 1 -r "$runs" --export-json "$tmp/$tool.json" \
    "$karva -j 2 -y bench/data/bench.key $tmp/rows.$tool $tmp/out.txt" \
    "bash -c '$tool -dc $tmp/rows.$tool | $karva -j 2 -y bench/data/bench.key - $tmp/out.txt'" >/dev/null
  read -r direct _ piped _ < <(medians "$tmp/$tool.json")
  awk -v t="$tool" -v d="$direct" -v p="$piped" 'BEGIN {
    printf "%-6s karva -j 2 on the file %.3f s, %s -dc | karva -j 2 %.3f s: %.2f of the pipe'"'"'s throughput\n", t, d, t, p, p / d }'
done

# The whole process against pandas + numpy doing the same job, 100k rows.
hyperfine -N -w 1 -r "$runs" --export-json "$tmp/pandas.json" \
  "$karva -y bench/data/bench.key bench/data/rows100k.csv $tmp/out.txt" \
  "/usr/bin/python3 bench/pandas_job.py bench/data/bench.key bench/data/rows100k.csv $tmp/pandas.txt" >/dev/null
read -r k _ p _ < <(medians "$tmp/pandas.json")
awk -v k="$k" -v p="$p" 'BEGIN { printf "pandas 100k rows: karva %.3f s, pandas + numpy %.3f s: %.3f\n", k, p, k / p }'

# The key as an ONNX model in onnxruntime, beside the command on the same rows.
bash scripts/node_packages.sh
/usr/bin/python3 bench/onnx_bench.py "$karva" bench/data/bench.key bench/data/rows1m.csv "$runs"

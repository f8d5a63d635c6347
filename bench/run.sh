#!/usr/bin/env bash
# Times the whole tool on the 100000-row and 1000000-row sets, on one thread
# and on two, against the parse floor (read the file, convert every field
# with std::from_chars) in the same run, and prints rows per second, MB per
# second, the ratios and the peak memory of -j 2 (with the target, and
# without it).
#
# Usage: bench/run.sh [runs]   (default 10 runs per command; medians)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-10}"
bash scripts/setup.sh hyperfine libbenchmark-dev time
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKARVA_BENCH=ON -DKARVA_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
mkdir -p bench/data
gen=build-bench/bench/bench_generate
[ -f bench/data/bench.key ] && [ -f bench/data/rows100k.csv ] || "$gen" 100000 bench/data/rows100k.csv bench/data/bench.key
[ -f bench/data/rows1m.csv ] || "$gen" 1000000 bench/data/rows1m.csv

karva=build-bench/karva
floor=build-bench/bench/bench_parse_floor
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

for set in 100k 1m; do
  data="bench/data/rows$set.csv"
  # The fast path must write what the straightforward one writes.
  "$karva" -j 2 -y bench/data/bench.key "$data" "$tmp/fast.txt" > "$tmp/fast.log"
  build-bench/bench/bench_reference bench/data/bench.key "$data" "$tmp/reference.txt" y > "$tmp/reference.log"
  cmp -s "$tmp/fast.txt" "$tmp/reference.txt" || { echo "$set: output differs from the reference path" >&2; exit 1; }
  [ "$(tail -1 "$tmp/fast.log")" = "$(cat "$tmp/reference.log")" ] || { echo "$set: R-square differs" >&2; exit 1; }
  rows=$(($(wc -l < "$data") - 1))
  mb=$(awk -v b="$(stat -c %s "$data")" 'BEGIN { printf "%.1f", b / 1e6 }')
  # hyperfine runs the commands one after the other, each -r times: -j 1
  # and -j 2 are timed in the same run, on the same machine state.
  hyperfine -N -w 1 -r "$runs" --export-json "$tmp/$set.json" \
    "$karva -j 1 -y bench/data/bench.key $data $tmp/out.txt" \
    "$karva -j 2 -y bench/data/bench.key $data $tmp/out.txt" "$floor $data" >/dev/null
  read -r one_s two_s floor_s < <(python3 - "$tmp/$set.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print(r[0]["median"], r[1]["median"], r[2]["median"])
PY
)
  peak_kb=$(/usr/bin/time -f %M "$karva" -j 2 -y bench/data/bench.key "$data" "$tmp/out.txt" 2>&1 >/dev/null | tail -1)
  peak_nt_kb=$(/usr/bin/time -f %M "$karva" -j 2 -n bench/data/bench.key <(cut -d, -f2- "$data") "$tmp/out.txt" 2>&1 >/dev/null | tail -1 || true)
  awk -v set="$set" -v rows="$rows" -v mb="$mb" -v one="$one_s" -v two="$two_s" -v f="$floor_s" -v peak="$peak_kb" -v peaknt="$peak_nt_kb" 'BEGIN {
    printf "%-5s %8d rows %7.1f MB  floor %.3f s\n", set, rows, mb, f
    printf "      -j 1 %.3f s  %.2f M rows/s  %.0f MB/s  ratio to floor %.2f\n", one, rows / one / 1e6, mb / one, one / f
    printf "      -j 2 %.3f s  %.2f M rows/s  %.0f MB/s  ratio to floor %.2f  -j 2 / -j 1 %.2f\n", two, rows / two / 1e6, mb / two, two / f, two / one
    printf "      peak (-j 2) %.1f MiB, no target %.1f MiB\n", peak / 1024, peaknt / 1024 }'
done

# Named columns: the 1M set with an ID column first, read as CSV with the
# inputs by name and the ID kept, against the default reading of the same
# numbers, both on one thread.
[ -f bench/data/rows1m_id.csv ] ||
  awk 'NR == 1 { print "id," $0; next } { print "r" NR - 1 "," $0 }' bench/data/rows1m.csv > bench/data/rows1m_id.csv
inputs=$(head -1 bench/data/rows1m.csv | cut -d, -f2-)
hyperfine -N -w 1 -r "$runs" --export-json "$tmp/csv.json" \
  "$karva -j 1 -y bench/data/bench.key bench/data/rows1m.csv $tmp/out.txt" \
  "$karva -j 1 --csv --inputs $inputs --target=y --keep id bench/data/bench.key bench/data/rows1m_id.csv $tmp/out.csv" \
  >/dev/null
python3 - "$tmp/csv.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
plain, named = r[0]["median"], r[1]["median"]
print(f"csv   --csv --inputs ... --keep id {named:.3f} s against the default reading {plain:.3f} s: ratio {named / plain:.2f}")
PY

"""Files as pandas, spreadsheets and compressors write them, scored by karva
and read back by pandas: the predictions, the fit and the counts must be what
pandas computes from the same file. Usage: python3 THIS KARVA KEYFILE DIR

The key is 0.5 + 2 (x1 + x2); prints one line per case that goes wrong."""
import json
import os
import subprocess
import sys

import numpy as np
import pandas as pd

karva, key, work = sys.argv[1:4]
os.chdir(work)
rng = np.random.default_rng(22)
n = 400
frame = pd.DataFrame({"id": [f"A-{i}" for i in range(n)], "name": ["Smith, J" if i % 3 else 'say "hi"' for i in range(n)],
                      "x2": rng.uniform(-5, 5, n).round(4), "y": rng.uniform(-5, 5, n), "x1": rng.uniform(-5, 5, n)})
frame.loc[7, "x1"] = np.nan
frame.loc[11, "y"] = np.nan
failures = []


def run(args, data):
    return subprocess.run([karva, *args, key, data, "out.csv"], capture_output=True, text=True)


def check(case, done, read_back, expected):
    """Compares karva's output, read by pandas, with what pandas computes."""
    if done.returncode != 0:
        failures.append(f"{case}: exit {done.returncode}: {done.stdout}{done.stderr}")
        return
    got = read_back("out.csv")
    want = 0.5 + 2 * (expected["x1"] + expected["x2"])
    same = np.array_equal(got["predict"].to_numpy(), want.to_numpy(), equal_nan=True)
    if not same or len(got) != len(expected):
        failures.append(f"{case}: predictions differ from pandas'")
    complete = expected["y"].notna() & want.notna()
    r = np.corrcoef(expected["y"][complete], want[complete])[0, 1] ** 2
    if f"R-square = {r:.3f}\n" not in done.stdout:
        failures.append(f"{case}: R-square is not pandas' {r:.3f}: {done.stdout}")
    stats = json.loads(done.stdout.splitlines()[-1])
    if stats["rows_left_out"] != int((~complete).sum()) or stats["rows_used"] != int(complete.sum()):
        failures.append(f"{case}: --stats=json counts {stats}")


named = ["--inputs", "x1,x2", "--target=y", "--round-trip", "--stats=json"]
exact = {"float_precision": "round_trip"}

# A pandas export: an index, an ID, text with commas and quotes, NaN as an empty field and as NA.
frame.to_csv("pandas.csv")
check("pandas export", run(["--csv", *named], "pandas.csv"), lambda f: pd.read_csv(f, **exact),
      pd.read_csv("pandas.csv", **exact))
frame.to_csv("na.csv", na_rep="NA")
check("NA for missing", run(["--csv", *named], "na.csv"), lambda f: pd.read_csv(f, **exact),
      pd.read_csv("na.csv", **exact))

# A spreadsheet in a European locale: semicolons and decimal commas, in and out.
frame.to_csv("comma.csv", sep=";", decimal=",")
check("decimal commas", run(["--decimal", ",", *named], "comma.csv"),
      lambda f: pd.read_csv(f, sep=";", decimal=",", **exact), pd.read_csv("comma.csv", sep=";", decimal=",", **exact))

# A frame built from an array: numbers for names.
array = pd.DataFrame(frame[["y", "x1", "x2"]].to_numpy())
array.to_csv("array.csv", index=False)
check("numeric header", run(["--csv", "--header", "--inputs", "1,2", "--target=0", "--round-trip", "--stats=json"],
                            "array.csv"),
      lambda f: pd.read_csv(f, **exact).rename(columns={"0": "y"}),
      pd.read_csv("array.csv", **exact).rename(columns={"0": "y", "1": "x1", "2": "x2"}))

# Compressed files, and a spreadsheet's UTF-16 "Unicode text".
for tool, suffix in [("gzip", "gz"), ("zstd", "zst"), ("xz", "xz"), ("bzip2", "bz2")]:
    subprocess.run(f"{tool} -c pandas.csv > pandas.csv.{suffix}", shell=True, check=True)
    check(suffix, run(["--csv", *named], f"pandas.csv.{suffix}"), lambda f: pd.read_csv(f, **exact),
          pd.read_csv("pandas.csv", **exact))
frame.to_csv("unicode.txt", sep="\t", encoding="utf-16")
check("UTF-16", run(["--csv", "--delimiter", "tab", *named], "unicode.txt"), lambda f: pd.read_csv(f, sep="\t", **exact),
      pd.read_csv("unicode.txt", sep="\t", encoding="utf-16", **exact))

# A gzip file cut short: exit 1.
whole = open("pandas.csv.gz", "rb").read()
open("cut.csv.gz", "wb").write(whole[: len(whole) // 2])
# A damaged stream is known only at its end: no row of it is kept, and the
# earlier output stays as it was.
before = open("out.csv", "rb").read()
done = run(["--csv", *named], "cut.csv.gz")
if done.returncode != 1 or "gzip data ends before the end of its stream" not in done.stdout or \
        open("out.csv", "rb").read() != before:
    failures.append(f"truncated gzip: exit {done.returncode}: {done.stdout}")

print("\n".join(failures))

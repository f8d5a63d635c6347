#!/usr/bin/env python3
"""Scores one or many CSV files with a karva key on a Dask cluster.

    examples/dask_predict.py [--scheduler ADDRESS] [--workers N] [--inputs NAMES]
                             [--target NAME] [--keep NAMES] keyfile output.csv data.csv...

Without --scheduler it starts a local cluster of N worker processes; with
--scheduler tcp://host:8786 it runs on that cluster. The key travels to the
workers inside the task graph, as the bytes of its file (karva.Key pickles
so), so the workers need the karva module but not the key file. The output is
one CSV file: the kept columns, the target, and predict.
"""
import argparse
import sys
import time

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.distributed import Client, LocalCluster

import karva


def score(part, key, inputs, target, keep):
    """Predictions for one partition, with the kept columns and the target."""
    out = part[keep].copy() if keep else pd.DataFrame(index=part.index)
    if target:
        out[target] = part[target]
    # One thread per worker process: the processes are the parallelism.
    out["predict"] = key.predict(part[inputs].to_numpy(dtype=np.float64), jobs=1)
    return out


def names(text):
    return [n for n in text.split(",") if n] if text else []


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://host:8786)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    parser.add_argument("--inputs", help="the key's inputs by column name, in the key's order")
    parser.add_argument("--target", help="the true response's column")
    parser.add_argument("--keep", help="columns copied to the output, an ID say")
    parser.add_argument("key")
    parser.add_argument("output")
    parser.add_argument("data", nargs="+")
    args = parser.parse_args(argv)

    key = karva.Key(args.key)
    keep = names(args.keep)
    started = time.perf_counter()
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                     dashboard_address=None))
    with client:
        # pandas' default float parser is fast but not always correctly rounded;
        # round_trip reads every number as strtod does, as the karva command does.
        frame = dd.read_csv(args.data, dtype={name: object for name in keep}, blocksize="16MB",
                            float_precision="round_trip")
        inputs = names(args.inputs) or [c for c in frame.columns if c != args.target and c not in keep]
        if len(inputs) != key.variable_count:
            sys.exit(f"The key reads {key.variable_count} inputs, but {len(inputs)} columns are named: {inputs}")
        meta = {name: object for name in keep}
        if args.target:
            meta[args.target] = np.float64
        meta["predict"] = np.float64
        scored = frame.map_partitions(score, key, inputs, args.target, keep, meta=meta)
        # One pass: the file is written and the rows counted from the same tasks.
        writes = scored.to_csv(args.output, single_file=True, index=False, compute=False)
        _, rows = dask.compute(writes, scored.shape[0])
    seconds = time.perf_counter() - started
    print(f"{rows} rows scored in {seconds:.2f} s: {rows / seconds:.0f} rows/s", file=sys.stderr)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Scores one or many data files with a karva key on a Dask cluster.

    examples/dask_predict.py [--scheduler ADDRESS] [--timeout S] [--workers N] [--inputs NAMES]
                             [--target NAME] [--keep NAMES] [--round-trip | -p N]
                             keyfile output.csv data.csv...

Each worker reads whole files with karva's own reader (compressed files too),
on one thread each, so no float parser stands between a file and the key; the
output is the bytes `karva --csv` writes for the same rows, the files one
after another. Without --scheduler it starts a local cluster of N worker
processes; with --scheduler tcp://host:8786 it runs on that cluster. The key
travels to the workers inside the task graph, as the bytes of its file, so
the workers need the karva package but not the key file; the data files must
be readable where the workers run.
"""
import argparse
import json
import os
import sys
import tempfile
import time

import karva


def score_file(key, path, options):
    """One whole file, read and scored on the worker that runs the task; a
    file that cannot be read comes back as its message, not as a failed task."""
    try:
        return key.format_file(path, csv=True, jobs=1, **options)
    except (karva.DataError, ValueError, OSError) as e:
        return {"error": str(e).strip()}


def names(text):
    return [n for n in text.split(",") if n] if text else None


def refuse_clobbering(output, key_path, data):
    """An output that is the key or a data file, by any path or link, is refused."""
    if not os.path.exists(output):
        return
    for role, path in [("key", key_path)] + [("data", d) for d in data]:
        if os.path.exists(path) and os.path.samefile(output, path):
            sys.exit(f"The output file {output} is the {role} file {path}; nothing was written.")


def write_whole(output, header, parts):
    """Writes beside the output and moves it into place only when whole."""
    folder = os.path.dirname(os.path.abspath(output))
    descriptor, partial = tempfile.mkstemp(prefix=os.path.basename(output)[:200] + ".", suffix=".partial", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as out:
            out.write(header.encode())
            for part in parts:
                out.write(part)
            out.flush()
            os.fsync(out.fileno())
        if os.path.exists(output):
            os.chmod(partial, os.stat(output).st_mode & 0o7777)
        os.replace(partial, output)
    except BaseException:
        os.unlink(partial)
        raise


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://host:8786)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    parser.add_argument("--timeout", type=float, default=10, help="seconds to reach the scheduler (default 10)")
    parser.add_argument("--inputs", help="the key's inputs by column name, in the key's order")
    parser.add_argument("--target", help="the true response's column: the fit is printed")
    parser.add_argument("--keep", help="columns copied to the output, an ID say")
    parser.add_argument("--round-trip", action="store_true", help="shortest numbers that read back the same")
    parser.add_argument("-p", "--precision", type=int, default=6, help="digits after the point (default 6)")
    parser.add_argument("key")
    parser.add_argument("output")
    parser.add_argument("data", nargs="+")
    args = parser.parse_args(argv)
    if args.workers < 1:
        sys.exit(f"--workers takes a whole number of 1 or more, not {args.workers}")

    try:
        key = karva.Key(args.key, inputs=names(args.inputs))
    except (karva.KeyFileError, ValueError) as e:
        sys.exit(str(e))
    refuse_clobbering(args.output, args.key, args.data)
    options = {"target": args.target, "keep": names(args.keep), "precision": args.precision,
               "round_trip": args.round_trip}

    from dask.distributed import Client, LocalCluster

    started = time.perf_counter()
    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout=args.timeout)
        except (OSError, TimeoutError) as e:
            reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            sys.exit(f"Cannot reach the Dask scheduler at {args.scheduler}: {reason}")
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                     dashboard_address=":0"))
    with client:
        ready = time.perf_counter()
        futures = client.map(score_file, [key] * len(args.data), args.data, [options] * len(args.data), pure=False)
        results = client.gather(futures)
        scored = time.perf_counter()
    for result in results:
        if "error" in result:
            sys.exit(result["error"].splitlines()[0])

    write_whole(args.output, results[0]["header"], (r["text"] for r in results))
    rows = sum(r["counts"]["rows"] for r in results)
    for path, result in zip(args.data, results):
        if result["messages"]:
            print(f"{path}: {result['messages'].strip()}", file=sys.stderr)
    for count, what in [("missing_values", "missing values"), ("not_numbers", "fields that are not numbers")]:
        total = sum(r["counts"][count] for r in results)
        if total:
            print(f"{total} {what} in {len(args.data)} files; their rows have no prediction.", file=sys.stderr)
    if args.target:
        import numpy as np

        figures = karva.fit_figures(np.concatenate([r["fit_targets"] for r in results]),
                                    np.concatenate([r["fit_predictions"] for r in results]),
                                    sum(r["rows_left_out"] for r in results))
        print(json.dumps(figures))
    print(f"{rows} rows scored in {scored - ready:.2f} s ({rows / max(scored - ready, 1e-9):.0f} rows/s); "
          f"the cluster started in {ready - started:.2f} s", file=sys.stderr)
    if not all(r["complete"] for r in results):
        sys.exit(1)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The job karva does, done with pandas and numpy, for timing the whole
process beside karva's: imports, read_csv, one numpy operation per node of
every gene, and the output written with "%f".

Usage: python3 bench/pandas_job.py keyfile data.csv out.txt   (the target first in data.csv)
"""
import sys

import numpy as np
import pandas as pd

from python_bench import genes_of, numpy_gene


def main():
    key_path, data_path, out_path = sys.argv[1:4]
    variables, genes = genes_of(key_path)
    frame = pd.read_csv(data_path, float_precision="round_trip")
    columns = [frame.iloc[:, m + 1].to_numpy() for m in range(variables)]
    with np.errstate(all="ignore"):
        for intercept, slope, symbols in genes:
            columns.append(numpy_gene(symbols, columns) * slope + intercept)
    target = frame.columns[0]
    np.savetxt(out_path, np.column_stack([frame.iloc[:, 0].to_numpy(), columns[-1]]), fmt="%f",
               header=f"{target}(target) predict", comments="")


if __name__ == "__main__":
    main()

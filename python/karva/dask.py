"""Scoring a dask.dataframe that is already in Dask, by column names.

    import dask.dataframe as dd, karva, karva.dask
    frame = dd.read_parquet("sales/")
    key = karva.Key("model.key", inputs=["x1", "x2", "x3"])
    frame["predict"] = karva.dask.predictions(frame, key)

To score files, reading them natively on the workers, see
examples/dask_predict.py, which calls Key.predict_file on each.
"""
import numpy as np
import pandas as pd


def _score(part, key, jobs):
    return pd.Series(key.predict(part, jobs=jobs), index=part.index, dtype=np.float64)


def predictions(frame, key, name="predict", jobs=1):
    """A dask Series of the key's predictions for the rows of ``frame``, aligned with it.

    The key reads the frame by its input names when it has them (Key(path,
    inputs=[...])), else by position. Each partition is scored on ``jobs``
    threads (1 by default: Dask's workers are the parallelism). The key
    travels to the workers inside the task graph, as the bytes of its file.
    """
    columns = key.inputs if key.inputs is not None else list(frame.columns)
    return frame[columns].map_partitions(_score, key, jobs, meta=(name, "f8")).rename(name)

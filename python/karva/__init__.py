"""Apply a trained karva key to rows of numbers, bit for bit as the karva command does.

    import karva
    key = karva.Key("model.key", inputs=["x1", "x2", "x3"])
    key.predict(frame)                      # a float64 array, one prediction per row
    key.predict_file("data.csv", csv=True)  # read by the command's own reader

A key holds the number of input variables and a chain of genes; see
``Key.explain()``. Rows with a missing value (NaN, or an empty or NA field in a
file) have no prediction: NaN.
"""
import os

import numpy as np

from . import _karva
from ._inputs import as_matrix

__version__ = _karva.__version__
KeyFileError = _karva.KeyFileError
DataError = _karva.DataError
KeyFileError.__module__ = DataError.__module__ = __name__

__all__ = ["Key", "KeyFileError", "DataError", "fit_figures", "__version__"]


class Key:
    """A trained model, loaded from its key file and compiled once.

    ``path`` is the key file (a str or a path-like object). ``inputs``, when
    given, names the key's input variables in the key's order: a pandas
    DataFrame is then read by those names, in any column order. Without
    names, columns are read by position, the first column as the key's first
    input, whatever the columns are called.

    A key that cannot be loaded raises KeyFileError (a ValueError) with the
    command's message. Keys pickle as the bytes of their file, so they
    travel to other processes (Dask's workers, say) without the file.
    """

    def __init__(self, path, inputs=None):
        self._core = _karva.Core(os.fspath(path))
        self._inputs = _checked_names(inputs, self._core.variable_count)

    @property
    def path(self):
        """The key file's path, as given."""
        return self._core.path

    @property
    def inputs(self):
        """The inputs' names, in the key's order, or None when columns are read by position."""
        return None if self._inputs is None else list(self._inputs)

    @property
    def variable_count(self):
        """The number of input variables the key reads."""
        return self._core.variable_count

    @property
    def gene_count(self):
        """The number of genes in the chain."""
        return self._core.gene_count

    def explain(self, names=None):
        """The key as formulas, as ``karva --explain`` writes them, with the inputs' names if given or known."""
        names = _checked_names(names, self.variable_count) or self._inputs or []
        return self._core.explain(names)

    def predict(self, X, jobs=None):
        """Predictions for the rows of X, a float64 array of one prediction per row.

        X is a pandas DataFrame (read by the key's input names when the key
        has them, else by position), a numpy array of shape (rows,
        variable_count) in any order or layout, a masked array, or anything
        numpy turns into numbers. Dates, text, complex numbers and other
        objects are a TypeError. NaN, a masked entry or pandas' NA is a
        missing value: that row's prediction is NaN. ``jobs`` threads (1 to
        256; default: the processors available) evaluate the rows without
        the GIL.
        """
        return self._core.predict(as_matrix(X, self._inputs, self.variable_count), jobs)

    def predict_file(self, path, *, csv=False, delimiter=None, inputs=None, target=None, keep=None, header=None,
                     decimal=None, jobs=None):
        """Reads a data file with the command's own reader and scores it: a pandas DataFrame.

        The keywords are the command's options: ``csv`` (--csv), ``delimiter``
        (one character or "tab"), ``inputs`` and ``keep`` (lists of column
        names), ``target`` (a column name, True for the first column as -y,
        or None/False for none, as -n), ``header`` (True or False: the first
        line's role, decided), ``decimal`` ("," for decimal commas), ``jobs``.
        Compressed files (gzip, zstd, xz, bzip2) are read as they stand.
        There is never a question.

        The frame holds the kept columns (as text), the target and the
        predictions, bit for bit the command's numbers. ``frame.attrs["karva"]``
        holds the counts the command reports (rows, missing values, fields
        that are not numbers, lines with extra fields), its closing messages,
        and, with a target, the figures of ``--stats=json``. A file whose
        reading stopped early (a short line, a broken stream) raises
        DataError with the command's message; the rows before it are on the
        error's ``frame``.
        """
        import pandas as pd

        result = self._read(path, csv, delimiter, inputs, target, keep, header, decimal, jobs, None, False, "predict")
        columns = {name: values for name, values in zip(result["keep_names"], result["kept"])}
        if result["target_name"] is not None:
            columns[result["target_name"]] = result["targets"]
        columns["predict"] = result["predictions"]
        frame = pd.DataFrame(columns)
        frame.attrs["karva"] = dict(result["counts"], messages=result["messages"])
        if not result["complete"]:
            error = DataError(result["messages"].strip())
            error.frame = frame
            raise error
        return frame

    def format_file(self, path, *, csv=False, delimiter=None, inputs=None, target=None, keep=None, header=None,
                    decimal=None, jobs=None, precision=6, round_trip=False, prediction_name="predict"):
        """Scores a data file as predict_file does, and writes the result as the command would.

        For tools that put the output of many files together (the Dask
        example does): a dict with ``header`` and ``text`` (bytes), the
        command's output for this file, ``precision`` digits after the point
        or, with ``round_trip``, the shortest exact numbers; ``counts`` and
        ``messages`` as in predict_file's attrs; ``complete``, whether the
        reading reached the end; and the rows of the fit,
        ``fit_targets``, ``fit_predictions`` and ``rows_left_out``, for
        fit_figures.
        """
        return self._read(path, csv, delimiter, inputs, target, keep, header, decimal, jobs,
                          None if round_trip else precision, round_trip, prediction_name)

    def _read(self, path, csv, delimiter, inputs, target, keep, header, decimal, jobs, precision, round_trip, name):
        inputs = _checked_names(inputs, self.variable_count) if inputs is not None else self._inputs
        text = precision is not None or round_trip
        return self._core.predict_file(os.fspath(path), csv, delimiter, inputs or [], target, list(keep or []), header,
                                       decimal, jobs, precision if text else None, round_trip, name)

    def __repr__(self):
        names = "" if self._inputs is None else f", inputs={self._inputs!r}"
        return f"karva.Key({self.path!r}{names}) with {self.variable_count} inputs and {self.gene_count} genes"

    @classmethod
    def from_bytes(cls, data, path="", inputs=None):
        """The key whose file holds ``data`` (bytes), named ``path`` in messages."""
        key = cls.__new__(cls)
        key._core = _karva.Core(os.fspath(path), bytes(data))
        key._inputs = _checked_names(inputs, key._core.variable_count)
        return key

    @property
    def bytes(self):
        """The bytes of the key file, as read."""
        return self._core.bytes

    def __getstate__(self):
        return (self.path, self._core.bytes, self._inputs)

    def __setstate__(self, state):
        # Keys pickled before the package held (path, bytes).
        path, data = state[0], state[1]
        self._core = _karva.Core(path, data)
        self._inputs = state[2] if len(state) > 2 else None


def fit_figures(targets, predictions, rows_left_out=0):
    """The figures of ``--stats=json`` for the rows of a fit gathered apart (across a cluster, say).

    ``targets`` and ``predictions`` are the rows of the fit, in order;
    ``rows_left_out`` counts the rows left out for a missing value. A dict of
    the rows used and left out, R-square (the squared correlation of target
    and prediction), the coefficient of determination (scikit-learn's
    r2_score), RMSE, MAE and the largest absolute error; None where a figure
    is not finite.
    """
    targets = np.asarray(targets, dtype=np.float64)
    predictions = np.asarray(predictions, dtype=np.float64)
    return _karva.fit_figures(targets, predictions, int(rows_left_out))


def _checked_names(names, count):
    if names is None:
        return None
    if isinstance(names, str):
        raise TypeError("names must be a list of column names, not a str")
    names = [str(n) for n in names]
    if len(names) != count:
        raise ValueError(f"the key reads {count} inputs, but {len(names)} names are given: {names}")
    if len(set(names)) != len(names):
        raise ValueError(f"a name is given twice: {names}")
    return names

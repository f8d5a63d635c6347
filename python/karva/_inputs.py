"""Rows as the key reads them: a float64 matrix, missing values as NaN, and
nothing read that is not a number."""
import numpy as np

# numpy kinds that hold numbers exactly as float64 (or close enough, as
# integers do): booleans, integers, unsigned integers, floats.
NUMERIC_KINDS = "biuf"


def _refuse(dtype, where=""):
    raise TypeError(f"X must hold real numbers, not {dtype}{where}: karva reads no dates, text, complex numbers or "
                    "other objects")


def _column_values(column, name):
    """One DataFrame column as float64, pandas' NA as NaN."""
    dtype = column.dtype
    if getattr(dtype, "kind", "O") in NUMERIC_KINDS:
        return column.to_numpy(dtype=np.float64, na_value=np.nan)
    _refuse(dtype, f" in column {name!r}")


def _frame_matrix(frame, names, count):
    if names is not None:
        missing = [n for n in names if n not in frame.columns]
        if missing:
            raise ValueError(f"X has no column {missing[0]!r}; the key reads {names}")
        frame = frame[names]
    elif frame.shape[1] != count:
        raise ValueError(f"X has {frame.shape[1]} columns, but the key reads {count} inputs")
    columns = [_column_values(frame.iloc[:, i], frame.columns[i]) for i in range(frame.shape[1])]
    return np.column_stack(columns) if columns else np.empty((len(frame), 0))


def as_matrix(X, names, count):
    """X as a float64 array of shape (rows, count), without copying what need not be copied."""
    if hasattr(X, "iloc") and hasattr(X, "columns"):
        return _frame_matrix(X, names, count)
    if isinstance(X, np.ma.MaskedArray):
        if X.dtype.kind not in NUMERIC_KINDS:
            _refuse(X.dtype)
        return X.astype(np.float64).filled(np.nan)
    array = X if isinstance(X, np.ndarray) else np.asarray(X)
    if array.dtype.kind not in NUMERIC_KINDS:
        _refuse(array.dtype)
    return array if array.dtype == np.float64 else array.astype(np.float64)

"""A karva key as a scikit-learn regressor, for pipelines and model selection.

    from sklearn.pipeline import make_pipeline
    from karva.sklearn import KeyRegressor
    pipeline = make_pipeline(preprocessing, KeyRegressor("model.key"))
    pipeline.predict(X); pipeline.score(X, y)

The key is already trained: ``fit`` only checks that X has the columns the
key reads, and ``predict`` works before ``fit`` too.
"""
from sklearn.base import BaseEstimator, RegressorMixin

from . import Key


class KeyRegressor(RegressorMixin, BaseEstimator):
    """The predictions of the karva key at ``path``.

    ``inputs``, when given, names the key's inputs in the key's order: a
    DataFrame is then read by those names (``feature_names_in_``), and any
    other X by position. ``score`` is the coefficient of determination, as
    sklearn.metrics.r2_score computes it (not karva's R-square, the squared
    correlation).
    """

    def __init__(self, path, inputs=None):
        self.path = path
        self.inputs = inputs

    def _key(self):
        # Parameters may change through set_params: the key follows them.
        wanted = (self.path, None if self.inputs is None else tuple(self.inputs))
        if getattr(self, "_loaded_for", None) != wanted:
            self._loaded = Key(self.path, inputs=self.inputs)
            self._loaded_for = wanted
        return self._loaded

    def fit(self, X, y=None):
        """Checks that X has the key's columns; returns self. Nothing is trained."""
        key = self._key()
        columns = getattr(X, "columns", None)
        if self.inputs is not None and columns is not None:
            missing = [name for name in self.inputs if name not in columns]
            if missing:
                raise ValueError(f"X has no column {missing[0]!r}; the key reads {list(self.inputs)}")
        elif getattr(X, "shape", (0, key.variable_count))[1] != key.variable_count:
            raise ValueError(f"X has {X.shape[1]} columns, but the key reads {key.variable_count} inputs")
        self.n_features_in_ = key.variable_count
        if self.inputs is not None:
            import numpy as np

            self.feature_names_in_ = np.asarray(list(self.inputs), dtype=object)
        return self

    def predict(self, X):
        """The key's predictions for the rows of X: a float64 array; NaN where a row misses a value."""
        return self._key().predict(X)

    def __getstate__(self):
        # The key travels as the bytes of its file (a Key pickles so), so
        # that the model predicts where the file is not, or no longer is.
        state = dict(self.__dict__)
        try:
            self._key()
            state["_loaded"], state["_loaded_for"] = self._loaded, self._loaded_for
        except (OSError, ValueError):
            state.pop("_loaded", None)
            state.pop("_loaded_for", None)
        return state

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
    other X by position. Without ``inputs``, a DataFrame given to ``fit``
    records its column names, and ``predict`` refuses one whose names differ
    (reordered or renamed), as scikit-learn's own estimators do.
    ``key_bytes``, when given, is the key file's content and the key itself
    (``path`` then only names it): an estimator unpickled elsewhere carries
    them, so that its clones (``cross_val_score``, ``GridSearchCV``) need no
    file. ``score`` is the coefficient of determination, as
    sklearn.metrics.r2_score computes it (not karva's R-square, the squared
    correlation).
    """

    def __init__(self, path, inputs=None, key_bytes=None):
        self.path = path
        self.inputs = inputs
        self.key_bytes = key_bytes

    def _key(self):
        # Parameters may change through set_params: the key follows them.
        wanted = (self.path, None if self.inputs is None else tuple(self.inputs), self.key_bytes)
        if getattr(self, "_loaded_for", None) != wanted:
            if self.key_bytes is not None:
                self._loaded = Key.from_bytes(self.key_bytes, self.path, inputs=self.inputs)
            else:
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
        else:
            self._check_feature_names(X, reset=True)
        return self

    def predict(self, X):
        """The key's predictions for the rows of X: a float64 array; NaN where a row misses a value."""
        if self.inputs is None and hasattr(self, "feature_names_in_"):
            # Read by position: columns reordered or renamed since fit would
            # give other numbers without a word.
            self._check_feature_names(X, reset=False)
        return self._key().predict(X)

    def __getstate__(self):
        # The key travels as the bytes of its file, in the parameters, so
        # that the model and its clones predict where the file is not.
        state = dict(self.__dict__)
        try:
            state["key_bytes"] = self._key().bytes
            state["_loaded"], state["_loaded_for"] = self._loaded, self._loaded_for
        except (OSError, ValueError):
            state.pop("_loaded", None)
            state.pop("_loaded_for", None)
        return state

    def __setstate__(self, state):
        # Pickles made before key_bytes was a parameter carry the loaded key.
        if state.get("key_bytes") is None and "_loaded" in state:
            state["key_bytes"] = state["_loaded"].bytes
        state.setdefault("key_bytes", None)
        state.pop("_loaded_for", None)  # made anew from the parameters
        self.__dict__.update(state)

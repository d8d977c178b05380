"""Shared helpers: timetable batches built with pyarrow, datasets, and the internals module."""

import importlib.machinery
import importlib.util

import _kestro
import numpy as np
import pyarrow as pa
import pytest

DAY_MS = 86_400_000


def dict_column(values, keys, key_type=pa.int64(), value_type=pa.utf8()):
    """A dictionary-encoded column with explicit keys (None for a null key)."""
    return pa.DictionaryArray.from_arrays(pa.array(keys, key_type), pa.array(values, value_type))


def timetable(rows=None, *, tracks=None, ops=None, units=None, **columns):
    """A timetable batch from rows (time_ms, track, op, quantity, unit) of strings.

    Dictionaries default to the distinct values in order of first use; pass `tracks`,
    `ops` or `units` to fix a dictionary. Keyword columns replace or add columns.
    """
    rows = rows if rows is not None else [(0, "t0", "+", 1.0, "USD")]
    times, track_names, op_names, quantities, unit_names = (list(c) for c in zip(*rows)) if rows else ([],) * 5

    def encode(names, dictionary):
        dictionary = list(dictionary) if dictionary is not None else list(dict.fromkeys(n for n in names if n is not None))
        return dict_column(dictionary, [None if n is None else dictionary.index(n) for n in names])

    data = {
        "time": pa.array(times, pa.timestamp("ms")),
        "track": encode(track_names, tracks),
        "op": encode(op_names, ops),
        "quantity": pa.array(quantities, pa.float64()),
        "unit": encode(unit_names, units),
    }
    data.update(columns)
    return pa.record_batch(data)


def drop(batch, *names):
    return batch.drop_columns(list(names))


@pytest.fixture(scope="session")
def internals():
    """`_kestro_testing`, the internals module that lives in the same library as `_kestro`."""
    loader = importlib.machinery.ExtensionFileLoader("_kestro_testing", _kestro.__file__)
    module_spec = importlib.util.spec_from_loader("_kestro_testing", loader)
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    return module


class Recorder:
    """A py_state that records the statistics it receives and has no paths of its own:
    `advance` and `get_value` answer None, so the Monte Carlo model uses the curves."""

    def __init__(self):
        self.calls = []

    def advance(self, x):
        return None

    def get_value(self, *args):
        return None

    def set_stat(self, name, value):
        self.calls.append(("set_stat", name, value))


def curve(kind, times, values):
    """An "ASSETS" entry: the curve kind and the rows of times and values."""
    return (kind, np.array([times, values], dtype=np.float64))


def dataset(**keys):
    """A dataset that every pricing function reads without error; keywords replace top-level keys."""
    data = {
        "BASE": "USD",
        "ASSETS": {"USD": curve("ZERO_RATES", [0.5, 1.0, 2.0], [0.01, 0.015, 0.02]),
                   "EQ": curve("FORWARDS", [0.5, 1.0, 2.0], [100.0, 101.0, 103.0])},
        "PRICING_TS": 1_767_225_600_000,  # 2026-01-01T00:00:00Z
        "MC": {"PATHS": 100, "SEED": 7},
        "FD": {"N_X": 50, "MAX_X": 3.0, "TIMESTEP": 0.01},
        "HW": {"MEANREV": 0.1, "VOL": 0.01},
        "BS": {"VOL": 0.2, "ASSET": "EQ"},
    }
    data.update(keys)
    return data

"""Reading the dataset through the pricing functions: typed lookups, reading orders, FLAGS, the
"FIXED" section and the "ASSETS" entries."""

import collections
import operator
import sys

import _kestro
import numpy as np
import pytest
from conftest import Recorder, curve, dataset, timetable

DATASET = "Error while parsing Dataset, caused by\n"
PRICING = ["mc_price", "fixed_price", "fd_hullwhite_price", "fd_blackscholes_price"]
FLAGS_SECTION = {"mc_price": "MC", "fixed_price": "FIXED", "fd_hullwhite_price": "FD", "fd_blackscholes_price": "FD"}
FD_KEYS = [("FD",), ("FD", "N_X"), ("FD", "MAX_X"), ("FD", "TIMESTEP"), ("FD", "FLAGS"), ("FD", "DAMPING_STEPS"),
           ("PRICING_TS",)]
ORDERS = {
    "mc_price": [("BASE",), ("ASSETS",), ("MC",), ("MC", "PATHS"), ("MC", "SEED"), ("MC", "FLAGS"), ("PRICING_TS",)],
    "fixed_price": [("BASE",), ("ASSETS",), ("PRICING_TS",), ("FIXED", "FLAGS")],
    "fd_hullwhite_price": [("BASE",), ("ASSETS",), *FD_KEYS, ("HW",), ("HW", "MEANREV"), ("HW", "VOL")],
    "fd_blackscholes_price": [("BASE",), ("ASSETS",), *FD_KEYS, ("BS",), ("BS", "VOL"), ("BS", "ASSET")],
}
KIND = {"BASE": "text", "ASSET": "text", "ASSETS": "section", "MC": "section", "FD": "section", "HW": "section",
        "BS": "section", "MAX_X": "number", "TIMESTEP": "number", "MEANREV": "number", "VOL": "number"}
# A value of the wrong type for each kind of key, and the cause it is reported with.
WRONG = {
    "text": (5, "TypeError: 'int' object cannot be converted to 'PyString'"),
    "section": ([], "'list' object cannot be converted to 'PyDict'"),
    "integer": (1.5, "TypeError: 'float' object cannot be interpreted as an integer"),
    "number": ("1.5", "TypeError: must be real number, not str"),
}
OPTIONAL = ("FLAGS", "DAMPING_STEPS")
REQUIRED = [(f, path) for f, order in ORDERS.items() for path in order if path[-1] not in OPTIONAL]
VALID = np.array([[0.5, 1.0], [0.01, 0.02]])


def read(function, data):
    """The dataset error `function` reports for `data` (without the prefix), or None once read."""
    state = Recorder()
    try:
        getattr(_kestro, function)(timetable(), state, data, {})
    except RuntimeError as error:
        (text,) = error.args
    else:
        return None
    if not text.startswith(DATASET):
        return None  # read; a later stage failed
    assert state.calls == []
    return text[len(DATASET):]


def wrong_type(key, cause):
    return f"Error in value of {key}, likely incorrect type. caused by \n{cause}"


def index_error(value):
    """The interpreter's own rendering of the failed __index__ of `value`."""
    with pytest.raises(TypeError) as info:
        operator.index(value)
    return f"TypeError: {info.value}"


def with_value(data, path, value):
    """`data` with the key at `path` set to `value`."""
    *sections, key = path
    target = data
    for name in sections:
        target = target.setdefault(name, {})
    target[key] = value
    return data


def without(data, path):
    *sections, key = path
    target = data
    for name in sections:
        target = target[name]
    del target[key]
    return data


class Clash:
    """A key that hashes like `name`, so looking `name` up compares with it, and then raises."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise LookupError(f"compared with {other}")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


# Reading orders and lookups


@pytest.mark.parametrize("function", PRICING)
def test_full_dataset_is_read(function):
    assert read(function, dataset()) is None


@pytest.mark.parametrize("function", PRICING)
def test_base_is_reported_first_when_everything_is_missing(function):
    assert read(function, {}) == "Py Dictionary is missing key 'BASE'"


@pytest.mark.parametrize("function, index", [(f, i) for f, order in ORDERS.items() for i in range(len(order))])
def test_each_key_is_read_before_the_keys_after_it(function, index):
    data = dataset(FIXED={})
    order = ORDERS[function]
    for path in reversed(order[index:]):  # children first: a wrong section hides them
        with_value(data, path, WRONG[KIND.get(path[-1], "integer")][0])
    key = order[index][-1]
    assert read(function, data) == wrong_type(key, WRONG[KIND.get(key, "integer")][1])


@pytest.mark.parametrize("function, path", REQUIRED)
@pytest.mark.parametrize("failure", ["missing", "raising lookup"])
def test_required_key_that_is_missing_or_whose_lookup_raises_is_reported(function, path, failure):
    data = without(dataset(), path)
    if failure == "missing":
        assert read(function, data) == f"Py Dictionary is missing key '{path[-1]}'"
    else:
        with_value(data, (*path[:-1], Clash(path[-1])), 0)
        assert read(function, data) == f"LookupError: compared with {path[-1]}"


class Overriding(dict):
    """A dict whose own item lookup the reader must not use."""

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __missing__(self, key):
        return 1


def overriding(value):
    return Overriding({k: overriding(v) for k, v in value.items()}) if isinstance(value, dict) else value


@pytest.mark.parametrize("function", PRICING)
def test_dict_subclasses_are_read_with_the_dicts_own_lookup(function):
    assert read(function, overriding(dataset(FIXED={"FLAGS": 3}))) is None
    last = ORDERS[function][-2 if function == "fixed_price" else -1]  # FLAGS, last in fixed_price, is optional
    assert read(function, overriding(without(dataset(), last))) == f"Py Dictionary is missing key '{last[-1]}'"


# Values


UNSIGNED = [("mc_price", ("MC", "PATHS")), ("mc_price", ("MC", "SEED")), ("fd_hullwhite_price", ("FD", "N_X")),
            ("fd_blackscholes_price", ("FD", "N_X"))]
NUMBERS = [("fd_hullwhite_price", ("FD", "MAX_X")), ("fd_blackscholes_price", ("FD", "TIMESTEP")),
           ("fd_hullwhite_price", ("HW", "MEANREV")), ("fd_hullwhite_price", ("HW", "VOL")),
           ("fd_blackscholes_price", ("BS", "VOL"))]


@pytest.mark.parametrize("function, path", UNSIGNED)
@pytest.mark.parametrize(
    "value, cause",
    [
        (0, None), (True, None), (2**64 - 1, None), (np.uint64(2**64 - 1), None), (np.int8(3), None), (Index(7), None),
        (1000.0, index_error(1000.0)), (np.float64(3.0), index_error(np.float64(3.0))), ("5", index_error("5")),
        (None, index_error(None)),
        (-5, "OverflowError: can't convert negative int to unsigned"),
        (np.int8(-1), "OverflowError: can't convert negative int to unsigned"),
        (2**64, "OverflowError: int too big to convert"),
    ],
)
def test_unsigned_integers_take_any_index_that_fits(function, path, value, cause):
    expected = None if cause is None else wrong_type(path[-1], cause)
    assert read(function, with_value(dataset(), path, value)) == expected


@pytest.mark.parametrize("function", PRICING)
@pytest.mark.parametrize(
    "value, cause",
    [
        (-2**63, None), (2**63 - 1, None), (np.int64(-1), None), (False, None),
        (1.0, index_error(1.0)), ("0", index_error("0")),
        (2**63, "OverflowError: int too big to convert"), (-2**63 - 1, "OverflowError: int too big to convert"),
    ],
)
def test_pricing_time_is_a_signed_64_bit_index(function, value, cause):
    expected = None if cause is None else wrong_type("PRICING_TS", cause)
    assert read(function, dataset(PRICING_TS=value)) == expected


@pytest.mark.parametrize("function, path", NUMBERS)
@pytest.mark.parametrize(
    "value, cause",
    [
        (0.2, None), (1, None), (True, None), (np.float32(0.5), None), (Float(0.3), None), (Index(2), None),
        (2**1023, None), (float("nan"), None),
        ("0.2", "TypeError: must be real number, not str"), (None, "TypeError: must be real number, not NoneType"),
        (2**1024, "OverflowError: int too large to convert to float"), (Float(ValueError("no")), "ValueError: no"),
    ],
)
def test_numbers_convert_as_float_does(function, path, value, cause):
    expected = None if cause is None else wrong_type(path[-1], cause)
    assert read(function, with_value(dataset(), path, value)) == expected


@pytest.mark.parametrize("function", PRICING)
@pytest.mark.parametrize(
    "value, error",
    [
        (0, None), (15, None), (True, None), (np.uint8(15), None),
        (16, "Invalid bits set in FLAG"), (2**32 - 1, "Invalid bits set in FLAG"),
        (2**32, wrong_type("FLAGS", "OverflowError: out of range integral type conversion attempted")),
        (2**64, wrong_type("FLAGS", "OverflowError: int too big to convert")),
        (-1, wrong_type("FLAGS", "OverflowError: can't convert negative int to unsigned")),
        (1.0, wrong_type("FLAGS", index_error(1.0))),
    ],
)
def test_flags_are_four_bits(function, value, error):
    assert read(function, with_value(dataset(), (FLAGS_SECTION[function], "FLAGS"), value)) == error


@pytest.mark.parametrize("function", ["fd_hullwhite_price", "fd_blackscholes_price"])
@pytest.mark.parametrize(
    "value, error",
    [
        ("absent", None), (0, None), (2, None), (True, None), (np.uint16(1000), None), (Index(3), None),
        (1001, "DAMPING_STEPS must be at most 1000 (the Crank-Nicolson steps after each event date taken as two "
               "implicit half steps; 2 is usual), got 1001"),
        (2**64 - 1, "DAMPING_STEPS must be at most 1000 (the Crank-Nicolson steps after each event date taken as "
                    "two implicit half steps; 2 is usual), got 18446744073709551615"),
        (2**64, wrong_type("DAMPING_STEPS", "OverflowError: int too big to convert")),
        (-1, wrong_type("DAMPING_STEPS", "OverflowError: can't convert negative int to unsigned")),
        (2.0, wrong_type("DAMPING_STEPS", index_error(2.0))),
        ("2", wrong_type("DAMPING_STEPS", index_error("2"))),
    ],
)
def test_damping_steps_are_an_optional_count_of_at_most_1000(function, value, error):
    data = dataset()
    if value != "absent":
        data["FD"]["DAMPING_STEPS"] = value
    assert read(function, data) == error


@pytest.mark.parametrize("function", PRICING)
@pytest.mark.parametrize("failure", ["missing", "raising lookup"])
def test_flags_are_optional_but_a_raising_lookup_is_reported(function, failure):
    data = dataset(**{FLAGS_SECTION[function]: {"N_X": 50, "MAX_X": 3.0, "TIMESTEP": 0.01, "PATHS": 100, "SEED": 7}})
    if failure == "missing":
        assert read(function, data) is None
    else:
        data[FLAGS_SECTION[function]][Clash("FLAGS")] = 1
        assert read(function, data) == "LookupError: compared with FLAGS"


@pytest.mark.parametrize("fixed", ["absent", "raising lookup", [], "FLAGS", None, {}, collections.OrderedDict(FLAGS=15)])
def test_fixed_section_that_is_absent_or_no_dict_means_no_flags(fixed):
    if fixed == "absent":
        data = dataset()
    elif fixed == "raising lookup":
        data = {**dataset(), Clash("FIXED"): {"FLAGS": 99}}
    else:
        data = dataset(FIXED=fixed)
    assert read("fixed_price", data) is None


@pytest.mark.parametrize(
    "fixed, error",
    [
        ({"FLAGS": 99}, "Invalid bits set in FLAG"),
        ({"FLAGS": "1"}, wrong_type("FLAGS", index_error("1"))),
        ({Clash("FLAGS"): 1}, "LookupError: compared with FLAGS"),
    ],
)
def test_fixed_section_that_is_a_dict_reports_its_flags(fixed, error):
    assert read("fixed_price", dataset(FIXED=fixed)) == error


# Asset entries


def one_row(kind="ZERO_RATES"):
    return (kind, np.array([[0.5, 1.0]]))


ENTRY_ERRORS = [
    ({5: curve("ZERO_RATES", [1.0], [0.01])}, "TypeError: 'int' object cannot be converted to 'PyString'"),
    ({"EQ": ["ZERO_RATES", VALID]}, wrong_type("n/a", "'list' object cannot be converted to 'PyTuple'")),
    ({"EQ": None}, wrong_type("n/a", "'NoneType' object cannot be converted to 'PyTuple'")),
    ({"EQ": ()}, "IndexError: tuple index out of range"),
    ({"EQ": ("ZERO_RATES",)}, "IndexError: tuple index out of range"),
    ({"EQ": (b"ZERO_RATES", VALID)}, "TypeError: 'bytes' object cannot be converted to 'PyString'"),
    ({"EQ": ("ZERO_RATES", VALID.tolist())}, "TypeError: 'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"EQ": ("ZERO_RATES", np.zeros(3))}, "TypeError: dimensionality mismatch:\n from=1, to=2"),
    ({"EQ": ("ZERO_RATES", np.zeros((2, 2, 2)))}, "TypeError: dimensionality mismatch:\n from=3, to=2"),
    ({"EQ": ("ZERO_RATES", np.array(1.0))}, "TypeError: dimensionality mismatch:\n from=0, to=2"),
    ({"EQ": ("ZERO_RATES", VALID.astype(np.float32))}, "TypeError: type mismatch:\n from=float32, to=float64"),
    ({"EQ": ("ZERO_RATES", VALID.astype(np.int64))}, "TypeError: type mismatch:\n from=int64, to=float64"),
    ({"EQ": ("ZERO_RATES", VALID.astype(">f8"))}, "TypeError: type mismatch:\n from=>f8, to=float64"),
    ({"EQ": ("ZERO_RATES", VALID.astype(object))}, "TypeError: type mismatch:\n from=object, to=float64"),
    ({"EQ": one_row()}, "Asset 'EQ' needs two rows (times and values), got 1"),
    ({"EQ": ("FORWARDS", np.zeros((0, 2)))}, "Asset 'EQ' needs two rows (times and values), got 0"),
    ({"EQ": ("FORWARDS", np.zeros((3, 0)))}, "Asset 'EQ' has no columns"),
    ({"EQ": ("ZERO", VALID)}, "Unknown asset type ZERO"),
    ({"EQ": ("zero_rates", VALID)}, "Unknown asset type zero_rates"),
    ({"EQ": ("ZERO", np.zeros(3))}, "TypeError: dimensionality mismatch:\n from=1, to=2"),
    ({"EQ": one_row("ZERO")}, "Asset 'EQ' needs two rows (times and values), got 1"),
    ({"EQ": curve("FORWARDS", [1.0, 1.0], [1.0, 1.0])},
     "Error while parsing Asset, caused by \nBuilderError Values in the x axis need to be strictly monotonic rising"),
    ({"EQ": curve("ZERO_RATES", [1.0], [0.01]), "FX": ("ZERO", VALID)}, "Unknown asset type ZERO"),
]


@pytest.mark.parametrize("function", PRICING)
@pytest.mark.parametrize("assets, error", ENTRY_ERRORS)
def test_asset_entry_errors(function, assets, error):
    assert read(function, dataset(ASSETS=assets)) == error


Entry = collections.namedtuple("Entry", "kind data")


@pytest.mark.parametrize("function", PRICING)
@pytest.mark.parametrize(
    "assets",
    [
        {},
        {"EQ": Entry("FORWARDS", VALID)},
        {"EQ": ("FORWARDS", VALID, "ignored", None)},
        {"EQ": ("FORWARDS", np.vstack([VALID, [np.nan, -1.0]]))},
        {"EUR": curve("ZERO_RATES", [-1.0], [0.5])},  # BASE need not have an entry
    ],
)
def test_accepted_asset_entries(function, assets):
    assert read(function, dataset(ASSETS=assets)) is None


def unaligned(matrix):
    buffer = np.zeros(matrix.size * 8 + 1, np.uint8)
    out = np.ndarray(matrix.shape, np.float64, buffer, offset=1)
    out[...] = matrix
    assert not out.flags.aligned
    return out


def read_only(matrix):
    out = matrix.copy()
    out.setflags(write=False)
    return out


def spread(matrix):
    out = np.zeros((matrix.shape[0] * 2, matrix.shape[1] * 3))
    out[::2, ::3] = matrix
    return out[::2, ::3]


LAYOUTS = {
    "fortran order": np.asfortranarray,
    "strided rows and columns": spread,
    "negative strides": lambda m: m[::-1, ::-1].copy()[::-1, ::-1],
    "read-only": read_only,
    "unaligned": unaligned,
    "subclass": lambda m: m.view(type("Sub", (np.ndarray,), {})),
    "third row": lambda m: np.vstack([m, np.full(m.shape[1], np.nan)]),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_array_layout_gives_the_same_curve(internals, layout):
    matrix = np.array([[0.25, 0.5, 1.5, 3.0], [0.011, 0.012, 0.018, 0.025]])
    xs = [0.1, 0.25, 0.4, 1.0, 2.9, 3.0, 3.5]

    def queries(data):
        market = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", data), "EQ": ("FORWARDS", data)}, "PRICING_TS": 0}
        return [(internals.discount_factor(market, x), internals.asset_value(market, "EQ", x)) for x in xs]

    assert queries(LAYOUTS[layout](matrix)) == queries(matrix)
    assert queries(matrix)[3][0] == pytest.approx(np.exp(-np.interp(1.0, matrix[0], matrix[0] * matrix[1])))


@pytest.mark.parametrize("read_with", [*PRICING, "internals"])
def test_no_reference_to_the_arrays_is_kept(internals, read_with):
    array = np.array([[0.5, 1.0], [0.01, 0.02]])
    entry = ("ZERO_RATES", array)
    data = dataset(ASSETS={"USD": entry, "EQ": entry})
    before = sys.getrefcount(array), sys.getrefcount(entry)
    if read_with == "internals":
        internals.discount_factor(data, 0.7)
    else:
        read(read_with, data)
    assert (sys.getrefcount(array), sys.getrefcount(entry)) == before


@pytest.mark.parametrize("read_with", ["fixed_price", "internals"])
def test_dataset_errors_from_the_internals_match_the_entry_functions(internals, read_with):
    data = dataset(ASSETS={"EQ": ("ZERO", VALID)})
    with pytest.raises(RuntimeError) as info:
        if read_with == "internals":
            internals.asset_value(data, "EQ", 0.5)
        else:
            _kestro.fixed_price(timetable(), None, data, {})
    assert str(info.value) == DATASET + "Unknown asset type ZERO"

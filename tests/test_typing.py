"""The installed type information matches the module."""

import ast
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import _kestro
import pytest

STUB = Path(_kestro.__file__).parent / "_kestro-stubs" / "__init__.pyi"
FUNCTIONS = [n for n in vars(_kestro) if not n.startswith("__")]


def stub_functions():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_is_installed_beside_the_module():
    assert STUB.is_file()
    assert (Path(_kestro.__file__).parent / "kestro" / "py.typed").is_file()


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_signatures_name_the_modules_parameters(name):
    stub = stub_functions()[name]
    assert [a.arg for a in stub.args.args] == list(inspect.signature(getattr(_kestro, name)).parameters)
    returns = ast.unparse(stub.returns)
    assert returns == ("None" if name.startswith("backtest") else "float")


def test_stub_declares_no_function_the_module_lacks():
    assert set(stub_functions()) == set(FUNCTIONS)


# mypy on the installed package and on code that uses it

# Untyped third-party modules the package imports; everything else must resolve, so a
# missing `_kestro` stub or `py.typed` marker is reported rather than silently read as Any.
MYPY_CONFIG = """\
[mypy]

[mypy-pyarrow.*]
ignore_missing_imports = True

[mypy-pandas.*]
ignore_missing_imports = True

[mypy-matplotlib.*]
ignore_missing_imports = True

[mypy-tqdm.*]
ignore_missing_imports = True
"""

# Each line marked `# E: code` must be reported with that error code, and no other line reported.
USER_CODE = """\
import _kestro
import numpy as np

import kestro

events = kestro.timetable([("2026-06-01", "t", "+", 1.0, "USD")])
market = kestro.Market.flat()
dataset = market.dataset("fixed")
x: float = _kestro.fixed_price(events, None, dataset, {})
m: float = _kestro.mc_price(events, None, dataset, {})
y: str = _kestro.fixed_price(events, None, dataset, {})  # E: assignment
_kestro.fixed_price(events, None, dataset)  # E: call-arg
_kestro.fixed_price(events, None, 1.0, {})  # E: arg-type
b = _kestro.backtest_py(events, None, {}, "USD")  # E: func-returns-value
_kestro.no_such_function()  # E: attr-defined
p: float = kestro.price(kestro.zero_coupon_bond(years=1.0), market)
s: str = kestro.price(kestro.zero_coupon_bond(years=1.0), market)  # E: assignment
d: float = market.discount_factor(1.0)
assert market.discount is not None
f: float = kestro.forward(market.discount, 1.0)
g: float = kestro.discount_factor(market.discount, 2)
h: float = kestro.Curve.from_entry(market.discount).stored_value(np.float64(1.0))
a: float = kestro.forward(market.discount, np.array([1.0]))  # E: assignment
c = kestro.zero_curve(np.array([0.0, 1.0]), np.array([0.05, 0.05]))
"""


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """mypy's messages on the installed `kestro` package and on USER_CODE, by file name.

    mypy runs in an empty directory, so it reads `kestro` and the `_kestro` stub from
    site-packages, as a user's type checker would, never from the source tree.
    """
    pytest.importorskip("mypy")
    work = tmp_path_factory.mktemp("mypy")
    (work / "mypy.ini").write_text(MYPY_CONFIG)
    (work / "user_code.py").write_text(USER_CODE)
    command = [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--cache-dir", str(work / "cache"),
               "--no-error-summary", "--show-error-codes", "--no-pretty", "--hide-error-context",
               "-p", "kestro", "-m", "user_code"]
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "MYPY_CACHE_DIR")}
    run = subprocess.run(command, cwd=work, capture_output=True, text=True, timeout=120, env=env)
    assert run.returncode in (0, 1), run.stdout + run.stderr  # 2: mypy itself failed
    message = re.compile(r"(?P<file>.+?):(?P<line>\d+): (?P<kind>error|note): "
                         r"(?P<text>.*?)(?:  \[(?P<code>[a-z-]+)\])?")
    messages: dict[str, list[tuple[int, str, str]]] = {}
    for line in run.stdout.splitlines():
        found = message.fullmatch(line)
        assert found, f"unexpected mypy output line: {line!r}\n{run.stdout}{run.stderr}"
        if found["kind"] == "error":
            messages.setdefault(found["file"], []).append((int(found["line"]), found["code"] or "", found["text"]))
    return messages, run.stdout


def test_installed_kestro_package_type_checks_cleanly(mypy_report):
    messages, output = mypy_report
    assert [name for name in messages if name != "user_code.py"] == [], output


def test_mypy_reports_exactly_the_misuses_of_kestro_and_the_engine(mypy_report):
    messages, output = mypy_report
    expected = {(number, line.split("# E: ")[1])
                for number, line in enumerate(USER_CODE.splitlines(), start=1) if "# E: " in line}
    reported = {(number, code) for number, code, _ in messages.get("user_code.py", [])}
    assert reported == expected, output


def test_mypy_reads_the_engines_price_as_float(mypy_report):
    messages, output = mypy_report
    wrong_use = next(number for number, line in enumerate(USER_CODE.splitlines(), start=1)
                     if line.startswith("y: str = _kestro.fixed_price"))
    texts = [text for number, _, text in messages.get("user_code.py", []) if number == wrong_use]
    assert texts == ['Incompatible types in assignment (expression has type "float", variable has type "str")'], output

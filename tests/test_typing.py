"""The installed type information matches the module."""

import ast
import inspect
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

"""The README's examples run as written."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 4


def test_readme_examples_run_in_order(capsys):
    namespace: dict = {}
    for block in BLOCKS:  # later examples use names defined by earlier ones
        exec(compile("import _kestro\n" + block, str(README), "exec"), namespace)
    printed = capsys.readouterr().out.split()
    assert float(printed[0]) == pytest.approx(6.0886, abs=1e-3)  # the three-line American put

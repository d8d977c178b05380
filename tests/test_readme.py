"""The README's examples run as written: each block pasted alone into a fresh interpreter."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block-{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs_on_its_own(block, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # blocks that write files write them here
    exec(compile(block, str(README), "exec"), {"__name__": "__main__"})


def test_first_session_prints_the_american_put_and_its_model(capsys):
    exec(compile(BLOCKS[0], str(README), "exec"), {"__name__": "__readme__"})
    value, model = capsys.readouterr().out.split()[:2]
    assert float(value) == pytest.approx(6.0886, abs=1e-3) and model == "black_scholes"

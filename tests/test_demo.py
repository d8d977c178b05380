"""The demo, the README's main job, runs and its prices sit next to their references."""

import re

from kestro import demo


def test_demo_prices_match_their_references(capsys):
    demo.main()
    out = capsys.readouterr().out
    rows = re.findall(r"^  (.{24})(\S+)\s+(-?\d+\.\d+)\s+(-?\d+\.\d+)\s+([-+]\d\.\d+e[-+]\d+)", out, re.MULTILINE)
    assert len(rows) == 9
    for contract, model, price, reference, error in rows:
        # Monte Carlo within a few standard errors; the grids and the fixed model much closer.
        tolerance = 0.06 if model == "monte_carlo" else 1e-3
        assert abs(float(price) - float(reference)) < tolerance, (contract, model, price, reference)
    assert "profit: +40.00 USD" in out
    assert re.search(r"greeks on the grid: delta -0\.410\d\d, gamma 0\.0229\d", out)

"""The pricing models: their names, the engine function behind each, and the settings each takes.

One registry for the whole package: :meth:`kestro.Market.dataset` reads the settings from it,
:func:`kestro.price` the engine function, and :mod:`kestro.results` the coordinate of a grid
model's nodes.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

__all__ = ["MODELS", "Model", "model_info"]


@dataclass(frozen=True)
class Model:
    """One pricing model.

    - ``name``: what :func:`kestro.price` takes as ``model=``.
    - ``engine``: the ``_kestro`` function that prices with it (None: priced in the package).
    - ``settings``: the keyword settings it takes.
    - ``grid_coordinate``: for a finite-difference model, what its grid nodes stand for.
    - ``pathwise``: whether it walks paths, so phrases and snappers can be evaluated.
    - ``summary``: what it needs, in one line.
    """

    name: str
    engine: Optional[str]
    settings: tuple[str, ...]
    grid_coordinate: Optional[str] = None
    pathwise: bool = False
    summary: str = ""

    @property
    def is_grid(self) -> bool:
        return self.grid_coordinate is not None


_REGISTRY: dict[str, Model] = {model.name: model for model in (
    Model("fixed", "fixed_price", ("flags",), pathwise=True,
          summary="nothing: every asset at its forward, one path"),
    Model("monte_carlo", "mc_price", ("paths", "seed", "flags", "allow_large"), pathwise=True,
          summary="a path source state=, or vol for GBM paths"),
    Model("black_scholes", "fd_blackscholes_price", ("vol", "asset", "n_x", "timestep", "max_x", "damping", "flags", "allow_large"),
          grid_coordinate="spot", summary="vol (or Market.vols); one asset diffused on a grid"),
    Model("hull_white", "fd_hullwhite_price", ("vol", "meanrev", "n_x", "timestep", "max_x", "damping", "flags", "allow_large"),
          grid_coordinate="short_rate_factor", summary="vol and meanrev of the short rate"),
    Model("analytic", None, ("vol", "allow_large"),
          summary="vol; European and digital options in closed form (Black-76 on the forward)"),
)}

MODELS: tuple[str, ...] = tuple(_REGISTRY)
"""The pricing models, by the names :meth:`kestro.Market.dataset` and :func:`kestro.price` take."""

ENGINE_MODELS: tuple[str, ...] = tuple(name for name, model in _REGISTRY.items() if model.engine)
"""The models the engine prices (every model but ``"analytic"``)."""


def model_info(name: object) -> Model:
    """The registry entry of model ``name``; ``ValueError`` naming the models for an unknown one."""
    model = _REGISTRY.get(name) if isinstance(name, str) else None
    if model is None:
        raise ValueError(f"unknown model {name!r}; models are {', '.join(MODELS)}")
    return model

"""corvane: finite-difference eigenmode solver for optical and microwave waveguides."""

from corvane import _core

__all__ = ["_core"]

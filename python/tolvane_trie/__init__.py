"""Compact, ordered containers keyed by 64-bit integers, text and bytes."""

from . import _tolvane
from ._tolvane import *  # noqa: F401,F403

__version__ = _tolvane.__version__
__all__ = [name for name in dir(_tolvane) if not name.startswith("_")]

"""Compact, ordered containers keyed by 64-bit integers, text and bytes."""

from . import _tolvane
from ._tolvane import *  # noqa: F401,F403

__version__ = _tolvane.__version__
# The extension's own export list, in its registration order.
__all__ = list(_tolvane.__all__)

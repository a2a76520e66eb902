"""Expressions over a log's fields and signals, such as `ATT.DesRoll - ATT.Roll`
or `sqrt(VIBE[0].VibeX**2 + VIBE[0].VibeY**2)`: read against a short list
of what they may say, never run as Python (see `Log.evaluate`)."""

from .evaluate import compute, evaluate
from .grammar import FUNCTIONS, ExpressionError, Reference, parse, references

__all__ = ["evaluate", "compute", "parse", "references", "Reference", "ExpressionError", "FUNCTIONS"]

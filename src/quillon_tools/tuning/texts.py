"""Numbers as the tuning answers print them: one way each, so a rate, its
Nyquist limit and a threshold never read as the same number where they
differ, nor differently where they are the same."""

from __future__ import annotations


def hertz(value: float, *against: float) -> str:
    """A frequency to 0.1 Hz without a trailing ".0" (49.9, 12.5, 1000),
    given finer where it would otherwise read as one of `against` that it
    is not (49.96 against 50)."""
    for digits in range(1, 7):
        text = f"{value:.{digits}f}".rstrip("0").rstrip(".")
        if all(value == other or text != f"{other:.{digits}f}".rstrip("0").rstrip(".") for other in against):
            return text
    return repr(value)

"""The gyro filter review of the vehicle's autopilot: ArduPilot's or PX4's
filters, as each one's parameters set them."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from dataclasses import replace
from typing import Any, Dict, Optional

from .filter_review import FilterReview, review as ardupilot_review
from .px4_review import px4_review
from .suggestions import suggestions


def review(view: View, instance: Optional[int] = None, start: Optional[float] = None,
           end: Optional[float] = None, params: Optional[Dict[str, Any]] = None) -> FilterReview:
    """See `Log.filter_review`; its `suggestions` are what the data
    plainly call for, each tried as if set."""
    px4 = bool(view.identity.px4)
    chosen = px4_review if px4 else ardupilot_review
    found = chosen(view, instance, start, end, params)
    settings = {**view.params, **(params or {})}

    def reviewer(change: Dict[str, float]) -> FilterReview:
        return chosen(view, instance, start, end, {**(params or {}), **change})

    return replace(found, suggestions=suggestions(found, settings, px4, reviewer))

"""How a format's decoded tables are finished: the units of their fields
as metadata (applied when scaled). Formats whose units are fixed by their
definitions share `FixedUnits`; DataFlash states them in the log."""

from __future__ import annotations

from typing import Callable, Optional

import pyarrow

from ..names import message_name


class FixedUnits:
    """Finishes a table by its message name alone; no field numbers instances."""

    def __init__(self, finish: Callable[[str, pyarrow.Table, bool], pyarrow.Table]) -> None:
        self._finish = finish

    def finish(self, name: str, table: pyarrow.Table, scaled: bool) -> pyarrow.Table:
        return self._finish(message_name(name), table, scaled)

    def instance_field(self, name: str) -> Optional[str]:
        return None

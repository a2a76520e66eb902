"""What each check reads, as it declares it: the signals it judges, whether
it judges by the vehicle's flights, and the records it reads as logged
(`formats.records`). The messages a log read for its checks alone must
hold follow from these, format by format, as the signals' own messages
follow from their sources; and a skip reason names those of the log's
format."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, Callable, Iterable, List, NamedTuple, Optional, Set, Tuple, TypeVar

from ..formats import dataflash, mavlink, ulog
from ..formats.records import Record, Rows
from ..signals.sources import source_messages
from ..signals.vocabulary import VOCABULARY

# Every format a log may be of.
FORMATS = (dataflash, mavlink, ulog)
# What a reason says of the sources where the log's format has none.
NOT_LOGGED = "not logged in this format"


class Reads(NamedTuple):
    signals: Tuple[str, ...] = ()
    records: Tuple[str, ...] = ()  # kinds of `formats.records`
    # Judges by the vehicle's flights, which read every signal (their
    # logging gaps are found over every signal's messages).
    flights: bool = False


Check = TypeVar("Check", bound=Callable[..., Any])
# Every record kind some check declares: reading another fails loudly, as a
# log read for its checks would lack its message.
_DECLARED: Set[str] = set()


def reads(signals: Tuple[str, ...] = (), records: Tuple[str, ...] = (), flights: bool = False
          ) -> Callable[[Check], Check]:
    """Declares what a check reads (kept as its `reads`)."""
    def declare(check: Check) -> Check:
        unknown = [name for name in signals if name not in VOCABULARY]
        if unknown:
            raise KeyError(f"{check.__name__} declares no signal {unknown[0]!r}")
        setattr(check, "reads", Reads(tuple(signals), tuple(records), flights))
        _DECLARED.update(records)
        return check
    return declare


def reads_of(check: Callable[..., Any]) -> Reads:
    found = getattr(check, "reads", None)
    if not isinstance(found, Reads):
        raise AssertionError(f"{check.__name__} does not declare what it reads")
    return found


def checked_messages(module: Any, declared: Iterable[Reads]) -> Tuple[str, ...]:
    """The messages of format `module` that checks reading `declared` read:
    their signals' sources (and those the format's derived sources and its
    identity read), and their records."""
    declared = list(declared)
    signals = list(VOCABULARY) if any(r.flights for r in declared) else \
        list(dict.fromkeys(name for r in declared for name in r.signals))
    found = set(source_messages(module, signals)) | set(getattr(module, "ALSO_READ", ()))
    found.update(module.RECORDS[kind].message for r in declared for kind in r.records if kind in module.RECORDS)
    return tuple(sorted(found))


def record(view: View, kind: str) -> Optional[Rows]:
    """This vehicle's rows of the log format's record of `kind` (see
    `signals.View.record`), for a check that declares it."""
    if kind not in _DECLARED:
        raise AssertionError(f"the checks read the {kind} record, which no check declares it reads")
    found: Optional[Rows] = view.record(kind)
    return found


def named(view: View, kind: str) -> Optional[Record]:
    """The log format's record of `kind`; None where the format keeps none."""
    found: Optional[Record] = None if view.format is None else view.format.RECORDS.get(kind)
    return found


def unheard(view: View, *kinds: str) -> Optional[str]:
    """The messages of the log format's records of `kinds`, as a reason
    names them, where the log holds none of them: what the vehicle said over
    the link never arrived. None where it holds one, or the format keeps
    none of those records."""
    found = [found.message for found in (named(view, kind) for kind in kinds) if found is not None]
    if not found or any(view.table(message) is not None for message in found):
        return None
    return " or ".join(found)


def listed(names: List[str]) -> str:
    """"A, B or C"."""
    return names[0] if len(names) == 1 else f"{', '.join(names[:-1])} or {names[-1]}"


def sources(view: View, *names: str) -> str:
    """The messages the log's format reads quantities `names` from, as a
    reason names them."""
    found = source_messages(view.format, names)
    return listed(found) if found else NOT_LOGGED


def record_sources(view: View, kind: str) -> str:
    """The log format's record of `kind`, as a reason names it."""
    found = named(view, kind)
    return NOT_LOGGED if found is None else found.said()

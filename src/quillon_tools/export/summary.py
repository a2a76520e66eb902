"""The summary `quillon summary` prints: rows per message, and what the
log dropped. Plain text from counts, needing no table."""

from __future__ import annotations

from typing import Any, Dict, TextIO, Tuple

from .terminal import visible


def write_summary(counts: Dict[Tuple[str, int], int], out: TextIO) -> None:
    """A table of message names, type numbers and counts, sorted by name."""
    rows = [(visible(name), str(number), str(count))
            for (name, number), count in sorted(counts.items())]
    rows.append(("total", "", str(sum(counts.values()))))
    headers = ("name", "type", "count")
    widths = [max(len(row[i]) for row in rows + [headers]) for i in range(3)]
    for row in [headers] + rows:
        out.write(f"{row[0]:<{widths[0]}}  {row[1]:>{widths[1]}}  {row[2]:>{widths[2]}}\n")


def write_stats(stats: Dict[str, Any], out: TextIO) -> None:
    """What a log dropped, in short lines for under the summary table."""
    if not stats:
        return
    if "junk_bytes" not in stats:
        _write_ulog_stats(stats, out)
        return
    out.write(f"\n{stats['bytes_read']} bytes read, {stats['junk_bytes']} skipped as junk\n")
    if "unknown_types" in stats:
        out.write(f"{stats['unknown_types']} packet headers of a type with no format\n")
    if "bad_frames" in stats:
        out.write(f"{stats['bad_frames']} frames failed their checksum\n")
    for (sysid, compid), sender in sorted(stats.get("senders", {}).items()):
        out.write(f"sender {sysid}/{compid}: {sender['received']} frames received, "
                  f"{sender['lost']} lost ({sender['loss_percent']:.1f}%)\n")


def _write_ulog_stats(stats: Dict[str, Any], out: TextIO) -> None:
    """A ULog log's: what its reader skipped and dropped, the gaps its
    logger recorded, and where data was appended to it."""
    out.write(f"\n{stats['bytes_read']} bytes read, {stats['bytes_skipped']} skipped as damaged\n")
    out.write(f"{stats['definitions_dropped']} message definitions dropped\n")
    dropouts = stats["dropouts"]
    out.write(f"{dropouts} dropout{'' if dropouts == 1 else 's'} of the logger, {stats['dropout_total_ms']} ms "
              f"in all, the longest {stats['dropout_longest_ms']} ms\n")
    offsets = stats.get("appended_offsets") or []
    if offsets:
        out.write(f"appended data at byte{'' if len(offsets) == 1 else 's'} {', '.join(map(str, offsets))}\n")

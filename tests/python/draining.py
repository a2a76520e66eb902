"""Taking every queued packet out of a hand-fed reader."""


def drain(reader):
    """The packets `get_packet` hands out until it returns None, in order."""
    out = []
    while (p := reader.get_packet()) is not None:
        out.append(p)
    return out

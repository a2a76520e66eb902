"""Format-neutral table shapes and time: the time base, spans, instances,
lining tables up by time, and the shapes of the events and track tables."""

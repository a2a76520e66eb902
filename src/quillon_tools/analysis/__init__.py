"""What a log says beyond its rows: units, the time base, parameters, text
messages, flight modes, and tables merged on time."""

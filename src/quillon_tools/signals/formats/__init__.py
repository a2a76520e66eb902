"""One module per log format: it alone names that format's messages or
topics for the signals, with their units and the quirks of each era."""

"""Where each quantity lives, one module per log format (`dataflash`,
`mavlink`, `ulog`): that module alone names its format's messages or
topics for the signals, with their units and the quirks of each firmware
era. `source` reads a column into a quantity's unit; `units` converts."""

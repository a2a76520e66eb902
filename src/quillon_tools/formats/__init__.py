"""One package per log format (`dataflash`, `mavlink`, `ulog`), which alone
names that format's messages or topics: where each quantity lives, with
the units and quirks of each firmware era, its events and its track, and
what flew (`identify`). `source` reads a column into a quantity's unit,
`units` converts units, `banners` knows firmware banners and MAV_TYPE,
`samples` gives the shape of each format's high-rate sources (`SAMPLES`)."""

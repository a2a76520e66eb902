"""Flight reports: one self-contained web page per log (Bokeh), and an index
page per fleet of logs."""

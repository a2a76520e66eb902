"""Flight reports: one self-contained web page per log (Bokeh), and an index
page per fleet of logs. Needs the optional Bokeh: pip install 'quillon[report]'."""

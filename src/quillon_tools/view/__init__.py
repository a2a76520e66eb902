"""`quillon view`: a local Bokeh server that shows one log's page (the
flight report with a picker of every field, re-sampled to the screen as the
plots zoom) or a folder's list of logs, each decoded when it is opened."""

"""The HTML page the server wraps each document in: Bokeh's own, less the
MathJax bundle, which a Bokeh server otherwise sends with every page. No
text of ours is ever typeset (titles and labels are plain text models,
blocks of HTML have math off), so the page needs none of it."""

from __future__ import annotations

from bokeh.core.templates import get_env
from jinja2 import Template

MATHJAX = "bokeh-mathjax"  # the bundle's file name: bokeh-mathjax.js, bokeh-mathjax.min.js


def without_mathjax(scripts: str) -> str:
    """The page's script tags (one a line), less the MathJax bundle's."""
    return "\n".join(line for line in scripts.splitlines() if f"/{MATHJAX}." not in line)


def _page() -> Template:
    env = get_env()
    env.filters["without_mathjax"] = without_mathjax
    return env.from_string('{% extends "file.html.jinja" %}'
                           '{% block js_resources %}{{ bokeh_js | without_mathjax if bokeh_js }}{% endblock %}')


PAGE = _page()

"""The picker of a log's page: a searchable tree of every message or topic
(the signals first) and its fields with their units, and the plots of the
fields picked, on the page's shared time axis, re-sampled as they zoom."""

from __future__ import annotations

import html
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

from bokeh.layouts import column, row
from bokeh.models import Range1d
from bokeh.models.plots import Plot
from bokeh.models.widgets.buttons import Button
from bokeh.models.widgets.groups import CheckboxGroup
from bokeh.models.widgets.inputs import MultiSelect, TextInput

from ..report.catalogue import Panel
from ..report.markup import html_div
from ..report.panels import panel_figure
from ..report.plots import AxisModels
from ..report.series import PanelData, Series
from .expressions import ExpressionError, evaluate
from .fields import Node, field_series, field_tree, message_nodes, node_index, signal_nodes, unit_of
from .resample import Resampler

# Lines a page draws from the picker at most: each keeps its log's samples.
MAX_LINES = 24
SEPARATOR = "\t"  # between a node's key and a field's name in a field's value


class Picker:
    """The widgets and the plots they add, for one log of one session."""

    def __init__(self, log: Any, x_range: Range1d, axes: AxisModels, resampler: Resampler,
                 extra: Sequence[Any] = (), on_plot: Callable[[Plot], None] = lambda plot: None,
                 signals_later: bool = False) -> None:
        """`extra`: widgets under the picker's; `on_plot` is told of each plot
        it makes; with `signals_later`, the signals are listed once
        `add_signals` is called, the messages at once."""
        self.on_plot = on_plot
        self.log = log
        self.x_range = x_range
        self.axes = axes
        self.resampler = resampler
        self.nodes = message_nodes(log) if signals_later else field_tree(log)
        self.by_key = node_index(self.nodes)
        self.plots: List[Tuple[Plot, List[Series], List[str]]] = []  # each plot, its lines and their units
        self.search = TextInput(placeholder="search messages and fields", name="picker-search", width=360)
        self.tree = MultiSelect(options=[], size=14, width=170, name="picker-messages", title="message")
        self.fields = MultiSelect(options=[], size=14, width=190, name="picker-fields", title="field (unit)")
        self.scaled = CheckboxGroup(labels=["scaled into units"], active=[0], name="picker-scaled")
        self.add_new = Button(label="Plot on a new plot", name="picker-new", width=170)
        self.add_same = Button(label="Add to the last plot", name="picker-same", width=170)
        self.clear = Button(label="Remove the picked plots", name="picker-clear", width=170)
        self.expression = TextInput(placeholder="an expression, e.g. ATT.DesRoll - ATT.Roll", width=360,
                                    name="picker-expression")
        self.add_expression = Button(label="Plot the expression", name="picker-expression-plot", width=170)
        self.note = html_div("", name="picker-note", width=360)
        self.area = column([self._empty()], sizing_mode="stretch_width", name="picked")
        self.search.on_change("value_input", lambda attr, old, new: self._filter())
        self.tree.on_change("value", lambda attr, old, new: self._show_fields())
        self.add_new.on_click(lambda: self._add(new_plot=True))
        self.add_same.on_click(lambda: self._add(new_plot=False))
        self.clear.on_click(self._clear)
        self.add_expression.on_click(self._plot_expression)
        self._filter()
        if self.nodes:
            self.tree.value = [self.nodes[0].key]  # the signals, or the first message
        self._first_value = list(self.tree.value)
        self.layout = column([
            html_div("<h3>Plot any field</h3>"),
            row([column([self.search, row([self.tree, self.fields]), self.scaled,
                         row([self.add_new, self.add_same]), self.clear, self.expression,
                         self.add_expression, self.note, *extra], width=380),
                 self.area], sizing_mode="stretch_width"),
        ], sizing_mode="stretch_width", name="picker")

    def add_signals(self) -> None:
        """Lists the signals first; they are shown unless another node was picked."""
        signals = signal_nodes(self.log)
        self.nodes = signals + self.nodes
        self.by_key = node_index(self.nodes)
        self._filter()
        if signals and self.tree.value == self._first_value:
            self.tree.value = [signals[0].key]

    def _query(self) -> str:
        return (self.search.value_input or "").strip().casefold()

    def _filter(self) -> None:
        query = self._query()
        shown = [node for node in self.nodes if not query or query in node.label.casefold()
                 or any(query in f.name.casefold() for f in node.fields)]
        self.tree.options = [(node.key, node.label) for node in shown]
        self.tree.value = [key for key in self.tree.value if key in {node.key for node in shown}]
        self._show_fields()

    def _show_fields(self) -> None:
        query = self._query()
        chosen = [self.by_key[key] for key in self.tree.value if key in self.by_key]
        options: List[Union[str, Tuple[str, str]]] = []
        for node in chosen:
            every = not query or query in node.label.casefold()
            for field in node.fields:
                if every or query in field.name.casefold():
                    unit = f" ({field.unit})" if field.unit else ""
                    label = f"{field.name}{unit}" if len(chosen) == 1 else f"{node.label}.{field.name}{unit}"
                    options.append((f"{node.key}{SEPARATOR}{field.name}", label))
        self.fields.options = options
        self.fields.value = [value for value in self.fields.value if value in {v[0] for v in options}]

    def _say(self, text: str) -> None:
        self.note.text = f"<p>{html.escape(text)}</p>"

    def _add(self, new_plot: bool) -> None:
        picked = list(self.fields.value)
        if not picked:
            self._say("Pick one or more fields first.")
            return
        scaled = 0 in self.scaled.active
        lines: List[Series] = []
        units: List[str] = []
        for value in picked:
            key, _, name = value.partition(SEPARATOR)
            node: Optional[Node] = self.by_key.get(key)
            if node is None:
                continue
            unit = unit_of(node, name, scaled)
            found = field_series(self.log, key, name, scaled)
            lines += [s._replace(label=f"{s.label} ({unit})") if unit else s for s in found]
            units += [unit] * len(found)
        self._draw(lines, units, new_plot)

    def _plot_expression(self) -> None:
        try:
            line = evaluate(self.log, self.nodes, self.expression.value_input or self.expression.value or "")
        except ExpressionError as error:
            self._say(str(error))
            return
        self._draw([line], [""], new_plot=True)

    def _draw(self, lines: List[Series], units: List[str], new_plot: bool) -> None:
        drawn = sum(len(group) for _, group, _ in self.plots)
        if not lines:
            self._say("The fields picked hold no values.")
            return
        if drawn + len(lines) > MAX_LINES:
            self._say(f"A page draws at most {MAX_LINES} picked lines; remove some plots first.")
            return
        if new_plot or not self.plots:
            self.plots.append(self._plot(lines, units, len(self.plots)))
            self.area.children = [*self.area.children[:len(self.plots) - 1], self.plots[-1][0]]
        else:
            old, group, old_units = self.plots[-1]
            self.resampler.forget(old)
            self.plots[-1] = self._plot(group + lines, old_units + units, len(self.plots) - 1)
            self.area.children = [*self.area.children[:-1], self.plots[-1][0]]
        self._say(f"{len(lines)} line{'' if len(lines) == 1 else 's'} added.")

    def _plot(self, lines: List[Series], units: List[str], number: int) -> Tuple[Plot, List[Series], List[str]]:
        distinct = list(dict.fromkeys(unit or "no unit" for unit in units))
        title = ", ".join(series.label for series in lines)
        panel = Panel(f"picked-{number}", title if len(title) < 120 else title[:119] + "…", "", " / ".join(distinct), ())
        plot = panel_figure(PanelData(panel, lines), self.x_range, self.resampler.width, f"picked-{number}", self.axes)
        self.resampler.track(plot, [lines])
        self.on_plot(plot)
        return plot, lines, units

    def _clear(self) -> None:
        for plot, _, _ in self.plots:
            self.resampler.forget(plot)
        self.plots = []
        self.area.children = [self._empty()]
        self._say("")

    @staticmethod
    def _empty() -> Any:
        return html_div("<p>Pick fields at the left: their plots are drawn here, on the time axis of the "
                        "plots below.</p>")

"""What a log's own text becomes on a `quillon view` page: plain text in
every title, axis label and block (never TeX), nested ULog fields that
plot, padding never listed, and a page that loads no MathJax and makes
Bokeh warn of nothing."""
import logging
import struct

import pytest

import ulog_bytes as u
from dataflash_bytes import data_packet, format_packet

pytest.importorskip("bokeh")

from quillon_tools import read_log  # noqa: E402

TEX = r"$$\href{https://evil.example/login}{\Huge\color{red}{CLICK}}$$"
SECOND = 1_000_000


def tex_field_ulog():
    out = [u.HEADER, u.flag_bits(), u.format_(f"evil:uint64_t timestamp;float {TEX};"), u.subscribe(0, 0, "evil")]
    out += [u.data(0, struct.pack("<Qf", SECOND + i * 100_000, float(i))) for i in range(50)]
    return b"".join(out)


def tex_unit_dataflash():
    packets = [format_packet(129, "UNIT", "QbZ", "TimeUS,Id,Label"), format_packet(130, "FMTU", "QBNN",
                                                                                   "TimeUS,FmtType,UnitIds,MultIds"),
               format_packet(131, "EVIL", "Qf", "TimeUS,Val"),
               data_packet(129, "QbZ", 0, ord("z"), TEX.encode()), data_packet(130, "QBNN", 0, 131, b"sz", b"F-")]
    packets += [data_packet(131, "Qf", SECOND + i * 100_000, float(i)) for i in range(50)]
    return b"".join(packets)


def nested_ulog():
    """esc_status with two esc_report structs, each with an array and padding."""
    out = [u.HEADER, u.flag_bits(),
           u.format_("esc_report:int32_t esc_rpm;float[2] temps;uint8_t[3] _padding0;"),
           u.format_("esc_status:uint64_t timestamp;uint8_t esc_count;esc_report[2] esc;uint8_t[7] _padding0;"),
           u.subscribe(0, 0, "esc_status")]
    for i in range(20):
        escs = b"".join(struct.pack("<i2f3x", 1000 * (n + 1) + i, 30.0 + n, 40.0 + i) for n in range(2))
        out.append(u.data(0, struct.pack("<QB", SECOND + i * 100_000, 2) + escs + bytes(7)))
    return b"".join(out)


def test_nested_ulog_fields_plot_by_their_whole_name_and_padding_is_never_listed():
    from quillon_tools.view.fields import field_series, message_nodes

    log = read_log(nested_ulog())
    node = next(n for n in message_nodes(log) if n.key == "esc_status")
    names = [f.name for f in node.fields]
    assert "esc[1].esc_rpm" in names and "esc[0].temps[1]" in names
    assert not [name for name in names if "_padding" in name]
    (rpm,) = field_series(log, node.key, "esc[1].esc_rpm")
    assert rpm.y.tolist() == [2000.0 + i for i in range(20)]
    (temps,) = field_series(log, node.key, "esc[0].temps[1]")
    assert temps.y.tolist() == [40.0 + i for i in range(20)]


@pytest.mark.parametrize("make, field", [(tex_field_ulog, TEX), (tex_unit_dataflash, "Val")])
def test_log_text_reaches_titles_and_labels_as_plain_text_and_the_page_warns_of_nothing(make, field, caplog):
    from bokeh.document import Document
    from bokeh.models import Axis, Div, Title
    from bokeh.models.text import PlainText

    from quillon_tools.view.log_page import build_log_page

    log = read_log(make())
    document = Document()
    with caplog.at_level(logging.WARNING, logger="bokeh"):
        picker = build_log_page(document, log, "evil")
        for callback in list(document.session_callbacks):
            callback.callback()
        node = next(n for n in picker.nodes if any(f.name == field for f in n.fields))
        picker.fields.value = [f"{node.key}\t{field}"]
        picker._add(new_plot=True)
        document.validate()
    assert not [r for r in caplog.records if "W-" in r.getMessage() or "E-" in r.getMessage()]
    texts = []
    for model in document.models:
        if isinstance(model, Title):
            texts.append(model.text)
        elif isinstance(model, Axis) and model.axis_label is not None:
            texts.append(model.axis_label)
        elif isinstance(model, Div):
            assert model.disable_math, model.text
    assert any("CLICK" in text.text or "UNIT" in text.text for text in texts if isinstance(text, PlainText))
    # A string would be parsed for TeX by the browser: none holds a delimiter.
    assert not [text for text in texts if isinstance(text, str) and ("$$" in text or "\\(" in text or "\\[" in text)]


def test_the_server_page_loads_bokeh_without_mathjax():
    from bokeh.embed.bundle import bundle_for_objs_and_resources
    from bokeh.embed.elements import html_page_for_render_items
    from bokeh.resources import Resources

    from quillon_tools.view.template import PAGE

    bundle = bundle_for_objs_and_resources(None, Resources(mode="server", root_url="/"))  # as the server makes it
    assert "bokeh-mathjax" in str(bundle.js_files)
    page = html_page_for_render_items(bundle, {}, [], "a log", template=PAGE)
    assert "/bokeh.min.js" in page and "/bokeh-widgets.min.js" in page and "mathjax" not in page.casefold()

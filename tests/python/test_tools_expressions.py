"""Expressions over fields and signals: computed on the first name's rows
with the others lined up as merge lines them up, and read against a short
list of what they may say, never run."""
import numpy
import pytest

from conftest import BUNDLED

from quillon_tools import read_log
from quillon_tools.expressions import ExpressionError


@pytest.fixture(scope="module")
def tlog():
    return read_log(BUNDLED / "sub-4.1.1-dive.tlog", scaled=True)


def values(table):
    return table.column("value").to_numpy(zero_copy_only=False)


def test_fields_of_several_messages_line_up_as_merge_does(tlog):
    found = tlog.evaluate("VFR_HUD.alt - 2 * ATTITUDE.roll / 4 + 1")
    merged = tlog.merge(["VFR_HUD", "ATTITUDE"])
    alt = merged.column("VFR_HUD.alt").to_numpy(zero_copy_only=False).astype(float)
    roll = numpy.array(merged.column("ATTITUDE.roll").to_pylist(), dtype=float)
    assert found.column("_time").equals(merged.column("_time"))
    numpy.testing.assert_allclose(values(found), alt - 2 * roll / 4 + 1, equal_nan=True)
    assert numpy.isnan(values(found)).any() and not numpy.isnan(values(found)).all()  # no ATTITUDE yet: unknown


def test_functions_comparisons_signals_instances_and_array_items(tlog):
    vibe = tlog.evaluate("sqrt(vibration.x**2 + vibration.y**2) >= hypot(vibration.y, vibration.x) - 1e-9")
    assert (values(vibe) == 1).all()
    compass = tlog.evaluate("degrees(atan2(compass.y[1], compass.x[1])) % 360")
    x, y = (tlog.signal(f"compass.{a}", instance=1).column("value").to_numpy() for a in "xy")
    numpy.testing.assert_allclose(values(compass), numpy.degrees(numpy.arctan2(y, x)) % 360)
    with pytest.raises(ExpressionError, match=r"compass.x has 2 instances; name one: compass.x\[0\], compass.x\[1\]"):
        tlog.evaluate("compass.x")
    ulog = read_log(BUNDLED / "px4-appended-multiple.ulg")
    q = ulog.evaluate("-vehicle_attitude.q[3]")
    expected = [-row[3] for row in ulog["vehicle_attitude"].column("q").to_pylist()]
    numpy.testing.assert_allclose(values(q), expected)


@pytest.mark.parametrize("text, said", [
    ("ATTITUDE.rol", "ATTITUDE has no field 'rol'; its fields: time_boot_ms, roll"),
    ("NOPE.x + 1", "no message, topic or signal 'NOPE'"),
    ("ATTITUDE.roll +", "cannot read the expression"),
    ("__import__('os').system('touch pwned')", "no function"),
    ("ATTITUDE.roll.__class__", "no signal or message field"),
    ("open('x')", "no function 'open'"),
    ("[ATTITUDE.roll]", "is not allowed"),
    ("(lambda: 1)()", "no function"),
    ("ATTITUDE.roll if 1 else 0", "is not allowed"),
    ("'text'", "is not a number"),
    ("ATTITUDE[-1].roll", "must be a whole number"),
    ("sqrt(ATTITUDE.roll, 2)", "sqrt takes 1 argument"),
    ("2 ** 3", "names no field or signal"),
    ("x" * 5000, "longer than"),
    ("-" * 1900 + "1", "more than"),
    ("", "empty"),
])
def test_what_an_expression_may_not_say_is_named_and_nothing_runs(tlog, text, said, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ExpressionError) as raised:
        tlog.evaluate(text)
    assert said in str(raised.value)
    assert not (tmp_path / "pwned").exists()

"""The packet type as Python sees it."""
import copy
import pickle

import pytest

import Quillon

REFUSAL = "no default __reduce__ due to non-trivial __cinit__"

DOC = "\n".join([
    "",
    "    A class representing a packet. ",
    "    Basically a dict, but with three additional properties:",
    "",
    "     - `.name` name of the packet",
    "     - `.packet_type` ID representing the type of packet within the ",
    "       context of the packet's source protocol",
    "     - `.protocol` The source protocol of the packet as a string",
    "",
    "    These packets are not meant to be created by users at this time.",
    "    ",
])


def test_docstring_is_exact():
    assert Quillon.packet.__doc__ == DOC


def test_new_packet_is_empty_with_default_properties():
    p = Quillon.packet()
    assert (dict(p), p.name, p.packet_type, p.protocol) == ({}, "", 0, "")


@pytest.mark.parametrize("args,kwargs,expected", [
    (({"a": 1},), {}, {"a": 1}),
    (([("a", 1), ("b", 2)],), {}, {"a": 1, "b": 2}),
    ((), {"x": 3}, {"x": 3}),
    (({"a": 1},), {"a": 2}, {"a": 2}),
])
def test_construction_follows_dict(args, kwargs, expected):
    p = Quillon.packet(*args, **kwargs)
    assert p == expected and (p.name, p.packet_type, p.protocol) == ("", 0, "")


@pytest.mark.parametrize("prop", ["name", "packet_type", "protocol"])
def test_properties_are_read_only_and_undocumented(prop):
    p = Quillon.packet()
    with pytest.raises(AttributeError):
        setattr(p, prop, 1)
    with pytest.raises(AttributeError):
        delattr(p, prop)
    assert getattr(Quillon.packet, prop).__doc__ is None


def test_item_named_like_a_property_is_independent():
    p = Quillon.packet()
    p["name"] = "x"
    assert p.name == "" and p["name"] == "x"


def test_no_other_attributes_can_be_set():
    with pytest.raises(AttributeError):
        Quillon.packet().extra = 1


def test_behaves_as_a_plain_dict():
    p = Quillon.packet({"a": 1})
    assert p == {"a": 1} and repr(p) == "{'a': 1}"
    assert type(p.copy()) is dict
    with pytest.raises(TypeError):
        hash(p)


@pytest.mark.parametrize("action", [
    lambda p: pickle.dumps(p),
    lambda p: copy.copy(p),
    lambda p: copy.deepcopy(p),
    lambda p: p.__reduce__(),
    lambda p: p.__setstate__(None),
])
def test_pickling_and_copying_refused(action):
    p = Quillon.packet({"a": 1})
    with pytest.raises(TypeError, match=f"^{REFUSAL}$"):
        action(p)
    assert p == {"a": 1}


def test_subclass_from_python():
    class Tagged(Quillon.packet):
        pass

    t = Tagged(a=1)
    t.note = "ok"
    assert t == {"a": 1} and t.name == "" and t.note == "ok"


def test_packets_take_part_in_cyclic_gc():
    import gc
    import weakref

    class Holder:
        pass

    p = Quillon.packet()
    h = Holder()
    p["self"] = p
    p["holder"] = h
    ref = weakref.ref(h)
    del p, h
    gc.collect()
    assert ref() is None

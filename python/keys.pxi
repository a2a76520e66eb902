# Key strings cached per record layout. A steady stream repeats a few layouts,
# so each member name is decoded once instead of once per packet. The core
# shares one layout object among the records of a message format; the cache
# holds a reference to the layout it was made for, so the same address means
# the same names. Another layout under the same type number (a DataFlash type
# redefined, another reader's formats) is compared by name and rebuilt when
# the names differ.

from cpython.ref cimport PyObject, Py_INCREF, Py_XDECREF
from cpython.tuple cimport PyTuple_New, PyTuple_SET_ITEM
from libc.stdint cimport uint64_t
from libcpp.unordered_map cimport unordered_map
from libcpp.utility cimport pair


cdef struct _layout:
    const recordLayout* shape # referenced: the layout the texts were made from
    PyObject* name_text       # owned: the record name as str
    PyObject* keys            # owned: tuple of member names as str
    PyObject* blank           # owned: dict of those keys, in order, each to None


cdef unordered_map[uint64_t, _layout] _layouts


cdef inline void _replace(PyObject** slot, object value):
    Py_INCREF(value)
    Py_XDECREF(slot[0])
    slot[0] = <PyObject*>value


cdef bint _same_member_names(const recordLayout* a, const recordLayout* b):
    cdef const vector[recordLayout.memberShape]* x = &a.members()
    cdef const vector[recordLayout.memberShape]* y = &b.members()
    cdef size_t i
    if x.size() != y.size():
        return False
    for i in range(x.size()):
        if x[0][i].name != y[0][i].name:
            return False
    return True


cdef _layout* _layout_of(Struct* record, int protocol_id) except NULL:
    """The cached texts for the record's name and member names, refreshed if stale."""
    cdef uint64_t slot = (<uint64_t>protocol_id << 32) | record.getType()
    cdef _layout* layout = &_layouts[slot]
    cdef const recordLayout* shape = &record.getLayout()
    if layout.shape == shape:
        return layout
    cdef const vector[recordLayout.memberShape]* members = &shape.members()
    cdef const string* text
    cdef size_t i, count = members.size()
    if layout.shape == NULL or layout.shape.name() != shape.name():
        text = &shape.name()
        _replace(&layout.name_text, _text(text.data(), text.size()))
    if layout.shape == NULL or not _same_member_names(layout.shape, shape):
        keys = PyTuple_New(count)
        for i in range(count):
            text = &members[0][i].name
            key = _text(text.data(), text.size())
            Py_INCREF(key)
            PyTuple_SET_ITEM(keys, i, key)
        _replace(&layout.keys, keys)
        _replace(&layout.blank, {key: None for key in keys})
    shape.retain()
    if layout.shape != NULL:
        layout.shape.release()
    layout.shape = shape
    return layout


def _release_layouts():
    """Empties the cache: releases its layouts and texts. Runs at interpreter
    exit, so that a leak checker finds nothing of the module's left over."""
    cdef pair[uint64_t, _layout] entry
    for entry in _layouts:
        if entry.second.shape != NULL:
            entry.second.shape.release()
        Py_XDECREF(entry.second.name_text)
        Py_XDECREF(entry.second.keys)
        Py_XDECREF(entry.second.blank)
    _layouts.clear()


import atexit as _atexit
_atexit.register(_release_layouts)

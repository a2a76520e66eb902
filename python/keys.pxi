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


cdef struct _layout:
    const recordLayout* shape # referenced: the layout the texts were checked against
    string name               # record name the texts below were made from
    vector[string] members    # member names, in record order
    PyObject* name_text       # owned: the record name as str
    PyObject* keys            # owned: tuple of member names as str
    PyObject* blank           # owned: dict of those keys, in order, each to None


cdef unordered_map[uint64_t, _layout] _layouts


cdef inline void _replace(PyObject** slot, object value):
    Py_INCREF(value)
    Py_XDECREF(slot[0])
    slot[0] = <PyObject*>value


cdef bint _members_match(_layout* layout, const vector[abstractStructMember*]* members):
    cdef size_t i
    if layout.keys == NULL or layout.members.size() != members.size():
        return False
    for i in range(members.size()):
        if layout.members[i] != members[0][i].getName():
            return False
    return True


cdef _layout* _layout_of(Struct* record, int protocol_id) except NULL:
    """The cached texts for the record's name and member names, refreshed if stale."""
    cdef uint64_t slot = (<uint64_t>protocol_id << 32) | record.getType()
    cdef _layout* layout = &_layouts[slot]
    cdef const recordLayout* shape = &record.getLayout()
    if layout.shape == shape:
        return layout
    cdef const vector[abstractStructMember*]* members = &record.innerVector()
    cdef const string* text
    cdef size_t i, count = members.size()
    if layout.name_text == NULL or layout.name != record.getName():
        text = &record.getName()
        _replace(&layout.name_text, _text(text.data(), text.size()))
        layout.name = text[0]
    if not _members_match(layout, members):
        keys = PyTuple_New(count)
        for i in range(count):
            text = &members[0][i].getName()
            key = _text(text.data(), text.size())
            Py_INCREF(key)
            PyTuple_SET_ITEM(keys, i, key)
        layout.members.clear()
        for i in range(count):
            layout.members.push_back(members[0][i].getName())
        _replace(&layout.keys, keys)
        _replace(&layout.blank, {key: None for key in keys})
    shape.retain()
    if layout.shape != NULL:
        layout.shape.release()
    layout.shape = shape
    return layout

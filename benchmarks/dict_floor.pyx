# cython: language_level=3, boundscheck=False, wraparound=False
"""The unavoidable cost of handing out packets: one dict per record, filled
with PyDict_SetItem from key and value objects made in advance."""

from cpython.dict cimport PyDict_New, PyDict_SetItem
from cpython.list cimport PyList_GET_ITEM, PyList_GET_SIZE
from cpython.ref cimport PyObject


def make_dicts(list keys_per_type, list values_per_type, const int[:] sequence):
    """Builds and drops one dict per entry of `sequence`, an index into the
    per-type key and value lists. Returns the number of dicts made."""
    cdef Py_ssize_t i, j, n
    cdef list keys, values
    cdef dict d
    for i in range(sequence.shape[0]):
        keys = <list>PyList_GET_ITEM(keys_per_type, sequence[i])
        values = <list>PyList_GET_ITEM(values_per_type, sequence[i])
        n = PyList_GET_SIZE(keys)
        d = PyDict_New()
        for j in range(n):
            PyDict_SetItem(d, <object>PyList_GET_ITEM(keys, j), <object>PyList_GET_ITEM(values, j))
    return sequence.shape[0]

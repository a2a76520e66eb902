# Makes the module's generators count as collections.abc.Generator instances.

from cpython.exc cimport PyErr_SetObject, PyErr_WarnEx
from cpython.ref cimport PyObject


cdef extern from "Python.h":
    void _write_unraisable "PyErr_WriteUnraisable"(PyObject* where)


cdef int _register_generator_type() except -1:
    # An unstarted readFile generator touches no file; it only shows the type.
    sample = thing_to_iterable("")()
    try:
        from collections.abc import Generator
    except ImportError as error:
        # Loading goes on without the registration: report, warn, continue.
        PyErr_SetObject(type(error), error)
        _write_unraisable(NULL)
        PyErr_WarnEx(RuntimeWarning,
                     "collections.abc could not be imported; Quillon generators "
                     "are not registered as collections.abc.Generator", 1)
        return 0
    Generator.register(type(sample))
    return 0


_register_generator_type()

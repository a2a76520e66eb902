# Enumerations of the C++ core, declared from its headers, for every Cython
# module that reads core values: the Quillon module and quillon_tools._columnar.

from libc.stdint cimport uint8_t
from libcpp.string cimport string


cdef extern from "introspect/c_introspect.h":
    ctypedef enum cType:
        BOOL
        CHAR
        SIGNED_CHAR
        UNSIGNED_CHAR
        SHORT
        UNSIGNED_SHORT
        INT
        UNSIGNED_INT
        LONG
        UNSIGNED_LONG
        LONG_LONG
        UNSIGNED_LONG_LONG
        INT8_T
        UINT8_T
        INT16_T
        UINT16_T
        INT32_T
        UINT32_T
        INT64_T
        UINT64_T
        FLOAT
        DOUBLE
        NONE


cdef extern from "columns/columnBuilder.h" namespace "columns":
    cdef enum class columnKind(uint8_t):
        values
        text
        timestamp
        binary


cdef extern from "introspect/utf8.h" namespace "introspect":
    # Text from a log: its bytes when they are valid UTF-8, else each byte
    # as one Latin-1 character, encoded as UTF-8.
    string utf8OrLatin1(const string& raw) except +

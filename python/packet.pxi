# The packet type and the conversion of core records into packets.

from cpython.dict cimport PyDict_Merge, PyDict_SetItem
from cpython.float cimport PyFloat_FromDouble
from cpython.unicode cimport PyUnicode_DecodeLatin1, PyUnicode_DecodeUTF8
from libc.stdint cimport int8_t, int16_t, int32_t, int64_t, uint8_t, uint16_t, uint32_t, uint64_t
from libc.string cimport memchr


cdef class packet(dict):
    """
    A class representing a packet. 
    Basically a dict, but with three additional properties:

     - `.name` name of the packet
     - `.packet_type` ID representing the type of packet within the 
       context of the packet's source protocol
     - `.protocol` The source protocol of the packet as a string

    These packets are not meant to be created by users at this time.
    """
    cdef str _name
    cdef str _protocol
    cdef int _packet_type

    def __cinit__(self):
        # Takes no arguments, so Cython ignores whatever the caller passes
        # (without building an args tuple and kwargs dict per packet); the
        # dictionary contents come from the inherited dict initialiser.
        self._name = ""
        self._protocol = ""
        self._packet_type = 0

    @property
    def name(self):
        return self._name

    @property
    def packet_type(self):
        return self._packet_type

    @property
    def protocol(self):
        return self._protocol


ctypedef fused number_t:
    int8_t
    uint8_t
    int16_t
    uint16_t
    int32_t
    uint32_t
    int64_t
    uint64_t
    float
    double


cdef object _numbers(const number_t* elements, size_t count):
    """One element gives a bare number, any other count a list."""
    cdef size_t i
    if number_t is float or number_t is double:
        if count == 1:
            return PyFloat_FromDouble(<double>elements[0])
        return [PyFloat_FromDouble(<double>elements[i]) for i in range(count)]
    else:
        if count == 1:
            return elements[0]
        return [elements[i] for i in range(count)]


cdef object _booleans(const uint8_t* elements, size_t count):
    cdef size_t i
    if count == 1:
        return elements[0] != 0
    return [elements[i] != 0 for i in range(count)]


cdef str _text(const char* data, size_t size):
    """Bytes up to the first NUL as text: UTF-8 when valid, else Latin-1.

    Names and texts come from the data stream, so a byte sequence that is not
    UTF-8 still decodes, one character per byte, instead of failing.
    """
    cdef const char* nul = <const char*>memchr(data, 0, size)
    cdef Py_ssize_t length = (nul - data) if nul != NULL else <Py_ssize_t>size
    if length == 0:
        return ""
    try:
        return PyUnicode_DecodeUTF8(data, length, NULL)
    except UnicodeDecodeError:
        return PyUnicode_DecodeLatin1(data, length, NULL)


cdef object _member_value(abstractStructMember* member):
    """The Python value of a member's elements, by element type code."""
    cdef cType code = member.getTypeAsEnum()
    cdef const void* p = member.getInnerPointer()
    cdef size_t n = member.getNumElements()
    if n == 0:
        return []
    if code == CHAR:
        return _text(<const char*>p, n)
    if code == BOOL:
        return _booleans(<const uint8_t*>p, n)
    if code == SIGNED_CHAR or code == INT8_T:
        return _numbers(<const int8_t*>p, n)
    if code == UNSIGNED_CHAR or code == UINT8_T:
        return _numbers(<const uint8_t*>p, n)
    if code == SHORT or code == INT16_T:
        return _numbers(<const int16_t*>p, n)
    if code == UNSIGNED_SHORT or code == UINT16_T:
        return _numbers(<const uint16_t*>p, n)
    # LONG and UNSIGNED_LONG members hold 32-bit elements on every platform.
    if code == INT or code == INT32_T or code == LONG:
        return _numbers(<const int32_t*>p, n)
    if code == UNSIGNED_INT or code == UINT32_T or code == UNSIGNED_LONG:
        return _numbers(<const uint32_t*>p, n)
    if code == LONG_LONG or code == INT64_T:
        return _numbers(<const int64_t*>p, n)
    if code == UNSIGNED_LONG_LONG or code == UINT64_T:
        return _numbers(<const uint64_t*>p, n)
    if code == FLOAT:
        return _numbers(<const float*>p, n)
    if code == DOUBLE:
        return _numbers(<const double*>p, n)
    return []


cdef int _fill(packet target, Struct* record, str protocol, int protocol_id) except -1:
    cdef const vector[abstractStructMember*]* members = &record.innerVector()
    cdef _layout* layout = _layout_of(record, protocol_id)
    # Own references: converting values may run other code that refreshes the cache.
    cdef tuple keys = <tuple>layout.keys
    name = <object>layout.name_text
    cdef size_t i
    # Start from the layout's keys, each at None: merging into an empty dict
    # copies the key table at its final size, so the stores below replace
    # values in place instead of inserting and regrowing the table.
    PyDict_Merge(target, <object>layout.blank, 1)
    for i in range(members.size()):
        value = _member_value(members[0][i])
        # A repeated member name replaces the value but keeps the first position.
        PyDict_SetItem(target, keys[i], value)
    target._protocol = protocol
    target._packet_type = <int>record.getType()
    target._name = name
    return 0


cdef packet _packet_from_record(Struct* record, str protocol, int protocol_id):
    """Converts a record handed out by a reader and releases it, also on failure."""
    cdef packet result
    try:
        result = packet.__new__(packet)
        _fill(result, record, protocol, protocol_id)
    finally:
        deleteStruct(record)
    return result

# cython: language_level=3, boundscheck=False, wraparound=False
# distutils: language = c++
"""Whole logs decoded in C++ straight into Arrow-ready column buffers.

The core fills plain buffers per column; they are handed to pyarrow through
the buffer protocol, without a copy. Decoding runs without the interpreter
lock, and every decoder keeps its state to itself, so threads may decode
logs side by side.
"""

from cpython.buffer cimport PyBuffer_FillInfo
from cpython.bytes cimport PyBytes_FromStringAndSize
from cpython.pycapsule cimport PyCapsule_GetPointer
from libc.stdint cimport int32_t, int64_t, uint8_t, uint32_t, uint64_t
from libcpp cimport bool
from libcpp.memory cimport unique_ptr
from libcpp.string cimport string
from libcpp.utility cimport move
from libcpp.vector cimport vector

from coretypes cimport cType, columnKind, utf8OrLatin1

import pyarrow


cdef extern from "columns/columnBuffer.h" namespace "columns":
    cdef cppclass columnBuffer:
        columnBuffer()
        const uint8_t* data()
        size_t size()


cdef extern from "columns/columnBuilder.h" namespace "columns":
    cdef cppclass takenColumn:
        string name
        columnKind kind
        cType type
        uint32_t count
        uint64_t rows
        uint64_t nulls
        columnBuffer values
        columnBuffer offsets
        columnBuffer validity


cdef extern from "columns/tableBuilder.h" namespace "columns":
    cdef cppclass takenTable:
        string name
        uint32_t typeNumber
        uint64_t rows
        bool wanted
        vector[takenColumn] columns


cdef extern from "columns/selection.h" namespace "columns":
    cdef cppclass selection:
        selection()
        selection(const vector[string]& patterns)


cdef extern from "columns/columnizer.h" namespace "columns":
    cdef cppclass formatRow:
        uint32_t type
        string name
        uint32_t length
        string format
        vector[string] columns

    cdef cppclass senderStats:
        uint8_t sysid
        uint8_t compid
        uint64_t received
        uint64_t lost

    cdef cppclass logStats:
        uint64_t bytesRead
        uint64_t junkBytes
        uint64_t unknownTypes
        uint64_t badFrames
        vector[senderStats] senders

    cdef cppclass layoutStart:
        uint32_t type
        uint64_t index
        string table

    cdef cppclass gpsFix:
        bool found
        uint32_t week
        uint32_t milliseconds
        int64_t bootMicroseconds

    cdef cppclass columnizer:
        void feed(const uint8_t* data, uint64_t length) except + nogil
        void finish() except + nogil
        vector[formatRow] formats() except +
        vector[layoutStart] layoutStarts() except +
        uint64_t formatPackets()
        vector[takenTable] take() except +
        bool wantsTake()
        uint64_t packets()
        gpsFix firstFix()
        logStats stats() except +
        void setTimeOffset(int64_t microseconds)

    unique_ptr[columnizer] makeDataFlashColumnizer(selection wanted, selection gathered) except +
    unique_ptr[columnizer] makeMavlinkColumnizer(selection wanted, selection gathered) except +
    unique_ptr[columnizer] makeULogColumnizer(selection wanted, selection gathered) except +


cdef extern from "columns/sniffer.h" namespace "columns":
    cdef cppclass protocolSniffer:
        void feed(const uint8_t* data, uint64_t length) except + nogil
        void finish() except + nogil
        uint64_t dataFlashPackets()
        uint64_t mavlinkFrames()
        bool ulogHeader()


# Kinds of column, as the core numbers them.
KIND_VALUES = <int>columnKind.values
KIND_TEXT = <int>columnKind.text
KIND_TIMESTAMP = <int>columnKind.timestamp
KIND_BINARY = <int>columnKind.binary


cdef class _Buffer:
    """Owns one column buffer of the core and lends it out read-only."""
    cdef columnBuffer held

    def __getbuffer__(self, Py_buffer* view, int flags):
        PyBuffer_FillInfo(view, self, <void*>self.held.data(), <Py_ssize_t>self.held.size(), 1, flags)

    def __releasebuffer__(self, Py_buffer* view):
        pass


cdef object _arrow_buffer(columnBuffer& source):
    """The buffer as a pyarrow.Buffer sharing its memory, or None when empty."""
    if source.size() == 0:
        return None
    cdef _Buffer owner = _Buffer.__new__(_Buffer)
    owner.held = move(source)
    return pyarrow.py_buffer(owner)


cdef str _text(const string& raw):
    """Names from a log: UTF-8 when valid, else one Latin-1 character per byte."""
    cdef bytes data = utf8OrLatin1(raw)
    return data.decode("utf-8")


cdef selection _selection(patterns) except *:
    cdef vector[string] wanted
    if patterns is None:
        return selection()
    for pattern in patterns:
        wanted.push_back(pattern.encode("utf-8"))
    return selection(wanted)


def _feed_view(data):
    """A contiguous byte view of any bytes-like object."""
    view = memoryview(data)
    if view.format != "B" or view.ndim != 1 or not view.c_contiguous:
        view = view.cast("B") if view.c_contiguous else memoryview(view.tobytes())
    return view


cdef class Decoder:
    """Decodes one log of a known protocol into tables of column buffers.

    `patterns` is None for every message, or shell patterns of the names to
    decode (case-insensitive). Tables of the names `gathered` matches are
    decoded too, whatever `patterns` selects, and marked as not wanted.
    DataFlash and ULog `_time` is boot time plus `time_offset` microseconds.
    """
    cdef unique_ptr[columnizer] core
    cdef readonly str protocol

    def __cinit__(self, str protocol, patterns=None, gathered=(), int64_t time_offset=0):
        self.protocol = protocol
        if protocol == "data_flash":
            self.core = makeDataFlashColumnizer(_selection(patterns), _selection(gathered))
        elif protocol == "mavlink":
            self.core = makeMavlinkColumnizer(_selection(patterns), _selection(gathered))
        elif protocol == "ulog":
            self.core = makeULogColumnizer(_selection(patterns), _selection(gathered))
        else:
            raise ValueError(f"unknown protocol {protocol!r}")
        self.core.get().setTimeOffset(time_offset)

    def feed(self, data):
        """Decodes the next bytes of the log; True when the rows should be taken."""
        cdef const uint8_t[::1] view = _feed_view(data)
        cdef uint64_t n = view.shape[0]
        if n > 0:
            with nogil:
                self.core.get().feed(&view[0], n)
        return self.core.get().wantsTake()

    def finish(self):
        """The log has ended."""
        with nogil:
            self.core.get().finish()

    @property
    def packets(self):
        """Packets decoded so far, selected or not."""
        return self.core.get().packets()

    @property
    def format_packets(self):
        """Format packets read (DataFlash), which describe types and are no rows."""
        return self.core.get().formatPackets()

    @property
    def first_fix(self):
        """(GPS week, time of week in ms, boot time in us) of the first GPS
        packet with a fix, or None."""
        cdef gpsFix fix = self.core.get().firstFix()
        return (fix.week, fix.milliseconds, fix.bootMicroseconds) if fix.found else None

    def stats(self):
        """What the log dropped so far (all of it once finished), as a dict:

        - "bytes_read": bytes fed;
        - "junk_bytes": bytes in no packet or frame (nor a tlog record's time);
        - DataFlash: "unknown_types", headers whose type had no format;
        - MAVLink: "bad_frames", frames whose checksum (or message id) failed
          where a record's frame starts; and "senders", a dict keyed by
          (sysid, compid) of {"received", "lost", "loss_percent"}: good
          frames, sequence numbers skipped between them (8-bit, wrapping),
          and lost * 100 / (received + lost).
        """
        cdef logStats s = self.core.get().stats()
        result = {"bytes_read": s.bytesRead, "junk_bytes": s.junkBytes}
        if self.protocol == "data_flash":
            result["unknown_types"] = s.unknownTypes
        else:
            result["bad_frames"] = s.badFrames
            result["senders"] = {
                (sender.sysid, sender.compid): {
                    "received": sender.received,
                    "lost": sender.lost,
                    "loss_percent": 100.0 * sender.lost / (sender.received + sender.lost),
                }
                for sender in s.senders
            }
        return result

    def formats(self):
        """(type, name, length, format, [labels]) per message type the log described."""
        cdef vector[formatRow] rows = self.core.get().formats()
        return [(row.type, _text(row.name), row.length, _text(row.format),
                 [_text(label) for label in row.columns]) for row in rows]

    def layout_starts(self):
        """(type, index, table) per format packet that took effect, in log
        order: it precedes every packet from `_index` `index` on, and its
        layout's packets went to `table` (None when none followed)."""
        cdef vector[layoutStart] starts = self.core.get().layoutStarts()
        return [(s.type, s.index, _text(s.table) if s.table.size() else None) for s in starts]

    def take(self):
        """The rows decoded since the last take, as (name, type, pyarrow.Table,
        wanted) per table."""
        cdef vector[takenTable] tables = self.core.get().take()
        cdef size_t t, c
        result = []
        for t in range(tables.size()):
            names = []
            arrays = []
            for c in range(tables[t].columns.size()):
                names.append(_text(tables[t].columns[c].name))
                arrays.append(_array(tables[t].columns[c]))
            result.append((_text(tables[t].name), tables[t].typeNumber,
                           pyarrow.Table.from_arrays(arrays, names=names), tables[t].wanted))
        return result


# Arrow element types by the core's type codes.
_ELEMENT_TYPES = {
    cType.BOOL: pyarrow.uint8(),  # stored as bytes; cast below
    cType.SIGNED_CHAR: pyarrow.int8(), cType.UNSIGNED_CHAR: pyarrow.uint8(),
    cType.SHORT: pyarrow.int16(), cType.UNSIGNED_SHORT: pyarrow.uint16(),
    cType.INT: pyarrow.int32(), cType.UNSIGNED_INT: pyarrow.uint32(),
    cType.LONG: pyarrow.int32(), cType.UNSIGNED_LONG: pyarrow.uint32(),
    cType.LONG_LONG: pyarrow.int64(), cType.UNSIGNED_LONG_LONG: pyarrow.uint64(),
    cType.INT8_T: pyarrow.int8(), cType.UINT8_T: pyarrow.uint8(),
    cType.INT16_T: pyarrow.int16(), cType.UINT16_T: pyarrow.uint16(),
    cType.INT32_T: pyarrow.int32(), cType.UINT32_T: pyarrow.uint32(),
    cType.INT64_T: pyarrow.int64(), cType.UINT64_T: pyarrow.uint64(),
    cType.FLOAT: pyarrow.float32(), cType.DOUBLE: pyarrow.float64(),
}
_TIMESTAMP = pyarrow.timestamp("us", tz="UTC")


cdef object _array(takenColumn& column):
    cdef columnKind kind = column.kind
    cdef cType code = column.type
    cdef uint64_t rows = column.rows
    if kind == columnKind.binary:
        # Fixed width: every row holds all `count` bytes, NULs included.
        values = _arrow_buffer(column.values) or pyarrow.py_buffer(b"")
        return pyarrow.Array.from_buffers(pyarrow.binary(column.count), rows, [None, values])
    if kind == columnKind.text:
        offsets = _arrow_buffer(column.offsets)
        values = _arrow_buffer(column.values) or pyarrow.py_buffer(b"")
        return pyarrow.Array.from_buffers(pyarrow.utf8(), rows, [None, offsets, values])
    if kind == columnKind.timestamp:
        validity = _arrow_buffer(column.validity) if column.nulls else None
        return pyarrow.Array.from_buffers(_TIMESTAMP, rows, [validity, _arrow_buffer(column.values)],
                                          null_count=column.nulls)
    element = _ELEMENT_TYPES[code]
    data = _arrow_buffer(column.values)
    if column.count == 1:
        array = pyarrow.Array.from_buffers(element, rows, [None, data])
    else:
        child = pyarrow.Array.from_buffers(element, rows * column.count, [None, data])
        array = pyarrow.FixedSizeListArray.from_arrays(child, column.count)
    if code == cType.BOOL:
        array = array.cast(pyarrow.list_(pyarrow.bool_(), column.count) if column.count != 1 else pyarrow.bool_())
    return array


cdef class Sniffer:
    """Counts what each protocol finds in the same bytes, decoding nothing."""
    cdef protocolSniffer core

    def feed(self, data):
        cdef const uint8_t[::1] view = _feed_view(data)
        cdef uint64_t n = view.shape[0]
        if n > 0:
            with nogil:
                self.core.feed(&view[0], n)

    def finish(self):
        with nogil:
            self.core.finish()

    @property
    def data_flash(self):
        """DataFlash format and data packets found."""
        return self.core.dataFlashPackets()

    @property
    def mavlink(self):
        """MAVLink good frames found."""
        return self.core.mavlinkFrames()

    @property
    def ulog(self):
        """True when the input starts with the ULog header."""
        return self.core.ulogHeader()


cdef extern from "mavlink/mavlink_catalogue_info.h":
    ctypedef struct mavlink_field_info_t:
        const char* name
        const char* unit
        const char* invalid
    ctypedef struct mavlink_message_info_t:
        const char* name
        uint8_t numFields
        const mavlink_field_info_t* fields
    const mavlink_message_info_t* mavlink_catalogue
    const size_t MAVLINK_CATALOGUE_SIZE


def mavlink_field_units():
    """The documented unit and invalid values of every field of each catalogued
    MAVLink message that has any: upper-case message name -> a tuple, in wire
    order, of (field name, unit or None, invalid values as text joined by "|" or None)."""
    cdef size_t m, f
    cdef const mavlink_message_info_t* info
    cdef const mavlink_field_info_t* field
    found = {}
    for m in range(MAVLINK_CATALOGUE_SIZE):
        info = &mavlink_catalogue[m]
        fields = []
        described = False
        for f in range(info.numFields):
            field = &info.fields[f]
            unit = field.unit.decode() if field.unit != NULL else None
            invalid = field.invalid.decode() if field.invalid != NULL else None
            described = described or unit is not None or invalid is not None
            fields.append((field.name.decode(), unit, invalid))
        if described:
            found[info.name.decode().upper()] = tuple(fields)
    return found


cdef extern from "lines/arrowCData.h":
    struct ArrowSchema:
        pass
    struct ArrowArray:
        pass


cdef extern from "lines/lineWriter.h" namespace "lines":
    cdef enum class lineFormat:
        json
        csv

    cdef cppclass linePiece:
        const ArrowSchema* schema
        const ArrowArray* array
        int indexColumn
        string start
        string end
        vector[string] keys
        vector[bool] written

    void writeLines(const vector[linePiece]& pieces, lineFormat format, string& out) except + nogil


def json_lines(pieces):
    """JSON Lines of record batches, their rows merged by index, as bytes.

    `pieces` holds (batch, index column, start, keys, end) per batch: each
    row is written as `start`, then per column its key (bytes, or None to
    leave the column out) and value, then `end`. Values are written as
    Python's json module writes them (ensure_ascii, NaN as null); timestamps
    as quoted ISO 8601, binary as quoted base64. Writing runs without the
    interpreter lock.
    """
    return _lines(pieces, lineFormat.json)


def csv_rows(batch):
    """CSV rows of a record batch of flat columns, as UTF-8 bytes: values as
    Python's csv module writes them (str of each, minimal quoting; missing
    values empty), timestamps as ISO 8601, binary as base64."""
    keys = [b""] + [b","] * (batch.num_columns - 1) if batch.num_columns else []
    return _lines([(batch, -1, b"", keys, b"\n")], lineFormat.csv)


cdef bytes _lines(pieces, lineFormat format):
    cdef vector[linePiece] parts
    cdef linePiece part
    cdef string out
    held = []  # the capsules own the exported batches until written
    for batch, index_column, start, keys, end in pieces:
        schema, array = batch.__arrow_c_array__()
        held.append((schema, array))
        part.schema = <const ArrowSchema*>PyCapsule_GetPointer(schema, "arrow_schema")
        part.array = <const ArrowArray*>PyCapsule_GetPointer(array, "arrow_array")
        part.indexColumn = index_column
        part.start = start
        part.end = end
        part.keys.clear()
        part.written.clear()
        for key in keys:
            part.keys.push_back(b"" if key is None else key)
            part.written.push_back(key is not None)
        parts.push_back(part)
    with nogil:
        writeLines(parts, format, out)
    return PyBytes_FromStringAndSize(out.data(), <Py_ssize_t>out.size())

# cython: language_level=3, boundscheck=False, wraparound=False
# distutils: language = c++
"""Whole logs decoded in C++ straight into Arrow-ready column buffers.

The core fills plain buffers per column; each table is handed to pyarrow
whole through the Arrow C data interface, without a copy. Decoding runs
without the interpreter lock, and every decoder keeps its state to itself,
so threads may decode logs side by side.
"""

from cpython.bytes cimport PyBytes_FromStringAndSize
from cpython.pycapsule cimport PyCapsule_GetPointer
from cython.operator cimport dereference
from libc.stdint cimport int32_t, int64_t, uint8_t, uint32_t, uint64_t, uintptr_t
from libcpp cimport bool
from libcpp.memory cimport unique_ptr
from libcpp.string cimport string
from libcpp.utility cimport move
from libcpp.vector cimport vector

from coretypes cimport utf8OrLatin1

# pyarrow is loaded when the first table is taken: a caller that only
# counts rows (take_counts) starts without it and NumPy.


cdef extern from "columns/tableBuilder.h" namespace "columns":
    cdef cppclass takenTable:
        string name
        uint32_t typeNumber
        uint64_t rows
        bool wanted
        bool gathered


cdef extern from "lines/arrowCData.h":
    struct ArrowSchema:
        pass
    struct ArrowArray:
        pass


cdef extern from "columns/arrowExport.h" namespace "columns":
    void exportTable(takenTable&& table, ArrowSchema* schema, ArrowArray* array, int64_t timeShift,
                     const string& timeBase) except +


cdef extern from "columns/chunkThreads.h" namespace "columns":
    const uint64_t defaultChunkBytes


# The bytes of input one chunk holds when a Decoder is given chunk_bytes=0:
# a log no larger decodes in one pass whatever the threads.
DEFAULT_CHUNK_BYTES = defaultChunkBytes


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
        uint64_t badTimes
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

    cdef cppclass timeSpan:
        int64_t first
        int64_t last
        bool found

    cdef cppclass timeEdges:
        vector[int64_t] first()
        vector[int64_t] last()

    cdef cppclass byteSource:
        pass

    cdef cppclass fileSource(byteSource):
        fileSource(int descriptor, uint64_t offset)

    cdef cppclass columnizer:
        void feed(const uint8_t* data, uint64_t length) except + nogil
        uint64_t feedFrom(byteSource& source, uint64_t most) except + nogil
        void finish() except + nogil
        vector[formatRow] formats() except +
        vector[layoutStart] layoutStarts() except +
        uint64_t formatPackets()
        vector[takenTable] take() except +
        bool wantsTake()
        uint64_t packets()
        gpsFix firstFix()
        vector[gpsFix] gpsFixes() except +
        bool utcOffset(int64_t& microseconds)
        timeSpan span(int sysid)
        timeEdges edges()
        bool loggingStart(int64_t& microseconds)
        logStats stats() except +
        void setTimeOffset(int64_t microseconds)

    unique_ptr[columnizer] makeParallelDataFlashColumnizer(selection wanted, selection gathered, unsigned threads,
                                                           uint64_t chunkBytes) except +
    unique_ptr[columnizer] makeParallelULogColumnizer(selection wanted, selection gathered, unsigned threads,
                                                      uint64_t chunkBytes) except +
    unique_ptr[columnizer] makeParallelMavlinkColumnizer(selection wanted, selection gathered, unsigned threads,
                                                         uint64_t chunkBytes) except +


cdef extern from "columns/sniffer.h" namespace "columns":
    cdef cppclass protocolSniffer:
        void feed(const uint8_t* data, uint64_t length) except + nogil
        void finish() except + nogil
        uint64_t dataFlashPackets()
        uint64_t mavlinkFrames()
        bool ulogHeader()


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
    A log decodes on `threads` threads, in chunks of `chunk_bytes` (0: a
    default size; small sizes are for tests): the tables are the same as
    from one thread, though a take may give a table in several pieces, in
    log order.
    """
    cdef unique_ptr[columnizer] core
    cdef readonly str protocol

    def __cinit__(self, str protocol, patterns=None, gathered=(), int64_t time_offset=0, unsigned threads=1,
                  uint64_t chunk_bytes=0):
        self.protocol = protocol
        if protocol == "data_flash":
            self.core = makeParallelDataFlashColumnizer(_selection(patterns), _selection(gathered), threads,
                                                        chunk_bytes)
        elif protocol == "mavlink":
            self.core = makeParallelMavlinkColumnizer(_selection(patterns), _selection(gathered), threads,
                                                      chunk_bytes)
        elif protocol == "ulog":
            self.core = makeParallelULogColumnizer(_selection(patterns), _selection(gathered), threads, chunk_bytes)
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

    def feed_file(self, int descriptor, uint64_t offset, uint64_t most):
        """Reads up to `most` bytes of a regular file from `offset` on, as
        feed would decode them, straight into the buffers that decode them:
        (bytes read, 0 only at the file's end; True when the rows should be
        taken). The file's own position is left alone."""
        cdef unique_ptr[fileSource] source = unique_ptr[fileSource](new fileSource(descriptor, offset))
        cdef uint64_t got
        with nogil:
            got = self.core.get().feedFrom(dereference(source.get()), most)
        return got, self.core.get().wantsTake()

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

    def gps_fixes(self):
        """Every GPS packet with a fix, in log order, as bytes of native
        int64 triples: boot time in us, GPS week, time of week in ms."""
        cdef vector[gpsFix] fixes = self.core.get().gpsFixes()
        cdef vector[int64_t] flat
        cdef size_t i
        flat.reserve(3 * fixes.size())
        for i in range(fixes.size()):
            flat.push_back(fixes[i].bootMicroseconds)
            flat.push_back(fixes[i].week)
            flat.push_back(fixes[i].milliseconds)
        return PyBytes_FromStringAndSize(<const char*>flat.data(), <Py_ssize_t>(flat.size() * sizeof(int64_t)))

    def stats(self):
        """What the log dropped so far (all of it once finished), as a dict:

        - "bytes_read": bytes fed;
        - "junk_bytes": bytes in no packet or frame (nor a tlog record's time);
        - DataFlash: "unknown_types", headers whose type had no format, and
          "bad_times", packets whose own time lies beyond any date (damaged);
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
            result["bad_times"] = s.badTimes
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

    @property
    def utc_offset(self):
        """Microseconds from boot time to UTC that the log states itself
        (ULog: its GPS topic's UTC time), or None."""
        cdef int64_t microseconds = 0
        return microseconds if self.core.get().utcOffset(microseconds) else None

    def span(self, int sysid=-1):
        """(first, last) time in microseconds of every data packet read,
        selected or not, before any offset: boot time (DataFlash: damaged
        times beyond any date left out; ULog: rows of timestamp 0 left
        out), MAVLink the tlog record's time (of system
        `sysid` alone when given); None when none had a time."""
        cdef timeSpan found = self.core.get().span(sysid)
        return (found.first, found.last) if found.found else None

    def span_edges(self):
        """The times span() counts of the log's first and last (up to 32)
        packets in file order, as two lists (DataFlash; ULog rows of
        timestamp 0 left out); two empty lists where none are kept."""
        cdef timeEdges edges = self.core.get().edges()
        return list(edges.first()), list(edges.last())

    @property
    def logging_start(self):
        """The time the log says its logging started, as span() counts
        times (ULog: the header's timestamp), or None."""
        cdef int64_t microseconds = 0
        return microseconds if self.core.get().loggingStart(microseconds) else None

    def take(self, int64_t time_shift=0, str time_base=None):
        """The rows decoded since the last take, as (name, type, pyarrow.Table,
        wanted, shifted) per table. `time_shift` microseconds are added to
        the `_time` of the tables only wanted (`shifted`), and a `time_base`
        becomes their schema's "time_base" metadata; the tables kept for the
        log's facts stay on boot time, as the facts expect."""
        import pyarrow

        cdef vector[takenTable] tables = self.core.get().take()
        cdef size_t t
        cdef int64_t shift
        cdef string base = time_base.encode() if time_base is not None else b""
        cdef string none
        cdef bool moved
        cdef ArrowSchema schema
        cdef ArrowArray array
        result = []
        for t in range(tables.size()):
            # The whole table crosses as one struct array: pyarrow builds
            # every column in C++, which costs far less than a Python call
            # per column.
            name = _text(tables[t].name)
            moved = tables[t].wanted and not tables[t].gathered
            shift = time_shift if moved else 0
            exportTable(move(tables[t]), &schema, &array, shift, base if moved else none)
            batch = pyarrow.RecordBatch._import_from_c(<uintptr_t>&array, <uintptr_t>&schema)
            result.append((name, tables[t].typeNumber, pyarrow.Table.from_batches([batch]), tables[t].wanted,
                           moved and (time_shift != 0 or time_base is not None)))
        return result

    def take_counts(self):
        """As take, but only (name, type, rows, wanted) per table: the rows
        themselves are dropped, and pyarrow is not needed."""
        cdef vector[takenTable] tables = self.core.get().take()
        cdef size_t t
        return [(_text(tables[t].name), tables[t].typeNumber, tables[t].rows, tables[t].wanted)
                for t in range(tables.size())]


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

# The reader types. Both are thin shells over the shared helpers below; they
# differ only in the core reader they own and the protocol of their packets.

from cpython.bytes cimport PyBytes_AS_STRING, PyBytes_GET_SIZE
from libcpp.vector cimport vector


cdef int _feed(abstractReader* core, const uint8_t[:] view) except -1:
    """Hands a one-dimensional byte view to the core, in view order."""
    # Indexing first refuses None and empty views with the buffer IndexError.
    cdef const uint8_t* first = &view[0]
    cdef Py_ssize_t count = view.shape[0]
    cdef Py_ssize_t i
    cdef vector[uint8_t] gathered
    if count == 1 or view.strides[0] == 1:
        core.parseBuffer(first, <uint64_t>count)
    else:
        # A strided view (e.g. a sliced memoryview) is gathered first, so the
        # core reads only the bytes the view covers, in their order.
        gathered.reserve(count)
        for i in range(count):
            gathered.push_back(view[i])
        core.parseBuffer(gathered.data(), <uint64_t>count)
    return 0


cdef int _feed_chunk(object reader, abstractReader* core, object chunk, type own_type) except -1:
    """Feeds one chunk of a generator's source through the reader's parseBuffer.

    A reader of the module's own type cannot have parseBuffer overridden, so a
    non-empty bytes chunk goes straight to the core: the same bytes, without a
    method call and a buffer view per chunk. Everything else takes the method.
    """
    if type(reader) is own_type and type(chunk) is bytes and PyBytes_GET_SIZE(chunk) > 0:
        core.parseBuffer(<const uint8_t*>PyBytes_AS_STRING(chunk), <uint64_t>PyBytes_GET_SIZE(chunk))
    else:
        reader.parseBuffer(chunk)
    return 0


cdef uint8_t _byte_value(object value) except? 0:
    """The value as a byte, through Cython's conversion (ints, and other
    objects by their __int__). That conversion names C unsigned long for an
    integer beyond its range (2**64, or 2**32 on 32-bit x86); such an integer
    is too large for a byte like any other value above 255."""
    try:
        return value
    except OverflowError:
        if (value if isinstance(value, int) else int(value)) > 255:
            raise OverflowError("value too large to convert to uint8_t") from None
        raise


# Protocol numbers that keep the two protocols' layouts apart in the key cache.
cdef enum:
    _MAVLINK = 1
    _DATA_FLASH = 2


cdef object _next_packet(abstractReader* core, str protocol, int protocol_id):
    """The oldest queued record as a packet, or None when the queue is empty."""
    if core.numAvailable() > 0:
        return _packet_from_record(core.getPacket(), protocol, protocol_id)
    return None


cdef class mavlink_reader:
    """
    Usage:
    - Load the module with `import Quillon`
    - Create a Reader by passing the initializer a string filname or a 
      yielding function that returns bytes to parse
    - Read from the Reader by calling it to obtain a 
      generator.
    - Or feed bytes by hand with `parseByte` and `parseBuffer` and
      take packets out one at a time with `get_packet`.

    for example,

    ```python
    import Quillon
    reader = Quillon.mavlink_reader("flight.tlog")
    for packet in reader():
        # do stuff
        print(packet.name, packet)
    # done!
    ```

    MAVLink 1 and 2 frames may be mixed freely. Every packet is a dict
    of field name to raw value with the read-only properties `name`,
    `packet_type` and `protocol`.

    :param src: Source of bytes to parse; generator function or filename
    """
    cdef abstractReader* reader
    cdef object gen

    def __cinit__(self, src):
        self.reader = new mavLinkReader()
        self.gen = thing_to_iterable(src)

    def __dealloc__(self):
        del self.reader

    def parseByte(self, byte):
        self.reader.parseByte(_byte_value(byte))

    def parseBuffer(self, const uint8_t[:] bytes):
        _feed(self.reader, bytes)

    def get_packet(self) -> packet:
        return _next_packet(self.reader, "mavlink", _MAVLINK)

    def __call__(self):
        for chunk in self.gen():
            _feed_chunk(self, self.reader, chunk, mavlink_reader)
            while self.reader.numAvailable() > 0:
                yield _packet_from_record(self.reader.getPacket(), "mavlink", _MAVLINK)
        # The source has ended: frames behind a false start byte in its last
        # bytes are found only by rescanning them.
        (<mavLinkReader*>self.reader).finish()
        while self.reader.numAvailable() > 0:
            yield _packet_from_record(self.reader.getPacket(), "mavlink", _MAVLINK)


cdef class data_flash_reader:
    """
    Parser for DataFlash .bin files.

    Usage:
    - Load the module with `import Quillon`
    - Create a Reader by passing the initializer a string filname or a 
      yielding function that returns bytes to parse
    - Read from the Reader by calling it to obtain a 
      generator.
    - Or feed bytes by hand with `parseByte` and `parseBuffer` and
      take packets out one at a time with `get_packet`.

    for example,

    ```python
    import Quillon
    reader = Quillon.data_flash_reader("flight.bin")
    for packet in reader():
        # do stuff
        print(packet.name, packet)
    # done!
    ```

    Every packet is a dict of field name to raw value with the
    read-only properties `name`, `packet_type` and `protocol`.

    :param src: Source of bytes to parse; generator function or filename
    """
    cdef abstractReader* reader
    cdef object gen

    def __cinit__(self, src):
        self.reader = new dataFlashReader()
        self.gen = thing_to_iterable(src)

    def __dealloc__(self):
        del self.reader

    def parseByte(self, byte):
        self.reader.parseByte(_byte_value(byte))

    def parseBuffer(self, const uint8_t[:] bytes):
        _feed(self.reader, bytes)

    def get_packet(self) -> packet:
        return _next_packet(self.reader, "data_flash", _DATA_FLASH)

    def __call__(self):
        for chunk in self.gen():
            _feed_chunk(self, self.reader, chunk, data_flash_reader)
            while self.reader.numAvailable() > 0:
                yield _packet_from_record(self.reader.getPacket(), "data_flash", _DATA_FLASH)

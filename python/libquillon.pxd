# C++ declarations of the decoding core as the binding uses them.
# Every call that can reach core code is declared `except +`, so core
# exceptions become Python exceptions through Cython's translation table.

from libc.stdint cimport int32_t, uint8_t, uint32_t, uint64_t
from libcpp.string cimport string
from libcpp.vector cimport vector


from coretypes cimport cType


cdef extern from "introspect/recordLayout.h" namespace "introspect":
    # The shape shared by the records of one message format.
    cdef cppclass recordLayout:
        cppclass memberShape:
            string name
        void retain() const
        void release() const
        const string& name() const
        const vector[memberShape]& members() const


cdef extern from "introspect/introspect.h" namespace "introspect":
    # Plain accessors of finished records: inline, they never throw.
    cdef cppclass abstractStructMember:
        const string& getName() noexcept
        size_t getNumElements() noexcept
        cType getTypeAsEnum() noexcept
        void* getInnerPointer() noexcept

    cdef cppclass Struct:
        const vector[abstractStructMember*]& innerVector() noexcept
        const string& getName() noexcept
        uint32_t getType() noexcept
        const recordLayout& getLayout() noexcept


cdef extern from "introspect/introspect.h" namespace "Quillon":
    void deleteStruct(Struct* record) except +


cdef extern from "readers/readers.h" namespace "Quillon":
    cdef cppclass abstractReader:
        void parseByte(uint8_t byte) except +
        void parseBuffer(const uint8_t* buffer, uint64_t length) except +
        int32_t numAvailable() except +
        int32_t bytesSeen() except +
        int32_t packetsSeen() except +
        Struct* getPacket() except +

    cdef cppclass dataFlashReader(abstractReader):
        dataFlashReader() except +

    cdef cppclass mavLinkReader(abstractReader):
        mavLinkReader() except +
        mavLinkReader(bint wholeCatalogue) except +
        void finish() except +

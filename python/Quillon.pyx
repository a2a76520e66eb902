# cython: language_level=3, binding=True, boundscheck=True, wraparound=False
# distutils: language = c++
"""
pyinterop: the Python binding of the Quillon flight-data decoders.

It provides wrappers and objects for using the record readers from Python:
`data_flash_reader` for DataFlash .bin logs and `mavlink_reader` for MAVLink
streams and .tlog files. Calling a reader gives a generator of `packet`
objects, dictionaries of field name to raw value that also carry the
packet's name, type number and protocol.

`thing_to_iterable` turns a file name or a callable into the source of byte
chunks that the readers consume.
"""

from coretypes cimport *
from libquillon cimport *

include "packet.pxi"
include "keys.pxi"
include "readers.pxi"
include "sources.pxi"
include "generators.pxi"

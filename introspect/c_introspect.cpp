#include "introspect/c_introspect.h"

extern "C" const int32_t cTypeSize[CTYPE_COUNT] = {
    0,        // no code
    1, 1, 1, 1,  // BOOL, CHAR, SIGNED_CHAR, UNSIGNED_CHAR
    2, 2,        // SHORT, UNSIGNED_SHORT
    4, 4,        // INT, UNSIGNED_INT
    4, 4,        // LONG, UNSIGNED_LONG (always 32-bit)
    8, 8,        // LONG_LONG, UNSIGNED_LONG_LONG
    1, 1,        // INT8_T, UINT8_T
    2, 2,        // INT16_T, UINT16_T
    4, 4,        // INT32_T, UINT32_T
    8, 8,        // INT64_T, UINT64_T
    4, 8,        // FLOAT, DOUBLE
    0,           // NONE
};

/* Flat, non-owning record descriptions that decoders fill in reused storage.
 * Plain C layouts so that generated code and C callers can share them. */
#ifndef QUILLON_C_INTROSPECT_H
#define QUILLON_C_INTROSPECT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
/* A fixed underlying type keeps any 32-bit code value well defined in C++. */
typedef enum cType : int32_t {
#else
typedef enum cType {
#endif
    BOOL = 1,
    CHAR = 2,
    SIGNED_CHAR = 3,
    UNSIGNED_CHAR = 4,
    SHORT = 5,
    UNSIGNED_SHORT = 6,
    INT = 7,
    UNSIGNED_INT = 8,
    LONG = 9,           /* 32-bit elements on every platform */
    UNSIGNED_LONG = 10, /* 32-bit elements on every platform */
    LONG_LONG = 11,
    UNSIGNED_LONG_LONG = 12,
    INT8_T = 13,
    UINT8_T = 14,
    INT16_T = 15,
    UINT16_T = 16,
    INT32_T = 17,
    UINT32_T = 18,
    INT64_T = 19,
    UINT64_T = 20,
    FLOAT = 21,
    DOUBLE = 22,
    NONE = 23
} cType;

#define CTYPE_COUNT 24

/* Element width in bytes, indexed by cType code; 0 for code 0 and NONE. */
extern const int32_t cTypeSize[CTYPE_COUNT];

typedef struct cMember {
    const char* name;  /* NUL-terminated, not owned */
    const void* value; /* first of `elements` values, native byte order */
    int32_t elements;
    cType type;
} cMember;

typedef struct cStruct {
    const char* name;        /* NUL-terminated, not owned */
    const cMember* members;  /* numMembers entries, not owned */
    uint16_t numMembers;
    uint16_t mavType;
} cStruct;

#ifdef __cplusplus
}
#endif

#endif

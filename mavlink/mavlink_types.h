/* MAVLink frame and parse-status layouts shared by the frame parser, the
 * generated catalogue and the reader. */
#ifndef QUILLON_MAVLINK_TYPES_H
#define QUILLON_MAVLINK_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MAVLINK_STX 0xFD          /* start byte of a MAVLink 2 frame */
#define MAVLINK_STX_MAVLINK1 0xFE /* start byte of a MAVLink 1 frame */
#define MAVLINK_COMM_NUM_BUFFERS 16
#define MAVLINK_MAX_PAYLOAD_LEN 255
#define MAVLINK_SIGNATURE_BLOCK_LEN 13
#define MAVLINK_IFLAG_SIGNED 0x01
#define MAVLINK_STATUS_FLAG_IN_MAVLINK1 0x01
/* Longest frame on the wire: start byte, 9 header bytes, payload, checksum, signature. */
#define MAVLINK_MAX_FRAME_LEN (1 + 9 + MAVLINK_MAX_PAYLOAD_LEN + 2 + MAVLINK_SIGNATURE_BLOCK_LEN)

/* One frame as received. Packed, little-endian, 291 bytes; the catalogue
 * functions read `len` and the payload at these fixed offsets. */
#pragma pack(push, 1)
typedef struct mavlink_message_t {
    uint16_t checksum;
    uint8_t magic;
    uint8_t len;
    uint8_t incompat_flags;
    uint8_t compat_flags;
    uint8_t seq;
    uint8_t sysid;
    uint8_t compid;
    uint32_t msgid : 24;
    uint64_t payload64[(MAVLINK_MAX_PAYLOAD_LEN + 2 + 7) / 8];
    uint8_t ck[2];
    uint8_t signature[MAVLINK_SIGNATURE_BLOCK_LEN];
} mavlink_message_t;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(mavlink_message_t) == 291, "mavlink_message_t is 291 bytes");
static_assert(offsetof(mavlink_message_t, magic) == 2, "magic offset");
static_assert(offsetof(mavlink_message_t, len) == 3, "len offset");
static_assert(offsetof(mavlink_message_t, incompat_flags) == 4, "incompat_flags offset");
static_assert(offsetof(mavlink_message_t, compat_flags) == 5, "compat_flags offset");
static_assert(offsetof(mavlink_message_t, seq) == 6, "seq offset");
static_assert(offsetof(mavlink_message_t, sysid) == 7, "sysid offset");
static_assert(offsetof(mavlink_message_t, compid) == 8, "compid offset");
static_assert(offsetof(mavlink_message_t, payload64) == 12, "payload64 offset");
static_assert(offsetof(mavlink_message_t, ck) == 276, "ck offset");
static_assert(offsetof(mavlink_message_t, signature) == 278, "signature offset");
#endif

typedef enum mavlink_parse_state_t {
    MAVLINK_PARSE_STATE_UNINIT = 0,
    MAVLINK_PARSE_STATE_IDLE,
    MAVLINK_PARSE_STATE_GOT_STX,
    MAVLINK_PARSE_STATE_GOT_LENGTH,
    MAVLINK_PARSE_STATE_GOT_INCOMPAT_FLAGS,
    MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS,
    MAVLINK_PARSE_STATE_GOT_SEQ,
    MAVLINK_PARSE_STATE_GOT_SYSID,
    MAVLINK_PARSE_STATE_GOT_COMPID,
    MAVLINK_PARSE_STATE_GOT_MSGID1,
    MAVLINK_PARSE_STATE_GOT_MSGID2,
    MAVLINK_PARSE_STATE_GOT_MSGID3,
    MAVLINK_PARSE_STATE_GOT_PAYLOAD,
    MAVLINK_PARSE_STATE_GOT_CRC1,
    MAVLINK_PARSE_STATE_GOT_BAD_CRC1,
    MAVLINK_PARSE_STATE_SIGNATURE_WAIT
} mavlink_parse_state_t;

typedef enum mavlink_framing_t {
    MAVLINK_FRAMING_INCOMPLETE = 0,
    MAVLINK_FRAMING_OK = 1,
    MAVLINK_FRAMING_BAD_CRC = 2,
    MAVLINK_FRAMING_BAD_SIGNATURE = 3
} mavlink_framing_t;

/* Link signing is never configured here; the types exist for the status layout. */
typedef struct mavlink_signing mavlink_signing_t;
typedef struct mavlink_signing_streams mavlink_signing_streams_t;

typedef struct mavlink_status_t {
    uint8_t msg_received;
    uint8_t buffer_overrun;
    uint8_t parse_error;
    mavlink_parse_state_t parse_state;
    uint8_t packet_idx;
    uint8_t current_rx_seq;
    uint8_t current_tx_seq;
    uint16_t packet_rx_success_count;
    uint16_t packet_rx_drop_count;
    uint8_t flags;
    uint8_t signature_wait;
    mavlink_signing_t* signing;
    mavlink_signing_streams_t* signing_streams;
} mavlink_status_t;

/* The bytes of the frame in progress, from its start byte on, and the part of
 * them still to be scanned again after a frame failed. `pos` == `len` means
 * nothing is pending. */
typedef struct mavlink_replay_t {
    uint16_t len;
    uint16_t pos;
    uint8_t bytes[MAVLINK_MAX_FRAME_LEN];
} mavlink_replay_t;

/* One row of the CRC-extra table. */
typedef struct mavlink_msg_entry_t {
    uint32_t msgid;
    uint8_t crc_extra;
    uint8_t min_msg_len;
    uint8_t max_msg_len;
    uint8_t flags; /* bit 0: has target_system, bit 1: has target_component */
    uint8_t target_system_ofs;
    uint8_t target_component_ofs;
} mavlink_msg_entry_t;

#define MAV_MSG_ENTRY_FLAG_HAVE_TARGET_SYSTEM 1
#define MAV_MSG_ENTRY_FLAG_HAVE_TARGET_COMPONENT 2

#ifdef __cplusplus
}
#endif

#endif

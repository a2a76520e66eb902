/* MAVLink 1 and 2 frame parser: checksum, CRC-extra lookup, framing step and
 * the byte-at-a-time parse with rescanning of failed frames. */
#ifndef QUILLON_MAVLINK_PARSER_H
#define QUILLON_MAVLINK_PARSER_H

#include <stdint.h>

#include "mavlink/mavlink_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define X25_INIT_CRC 0xFFFF

/* CRC-16/MCRF4XX, the MAVLink checksum. */
void crc_init(uint16_t* crcAccum);
void crc_accumulate(uint8_t data, uint16_t* crcAccum);
uint16_t crc_calculate(const uint8_t* buffer, uint16_t length);
void mavlink_start_checksum(mavlink_message_t* msg);
void mavlink_update_checksum(mavlink_message_t* msg, uint8_t c);

/* A CRC-extra table: rows sorted by msgid. The table decides which frames can
 * complete; a frame of an id without a row always fails. */
typedef struct mavlink_crc_table_t {
    const mavlink_msg_entry_t* entries;
    uint32_t count;
} mavlink_crc_table_t;

extern const mavlink_crc_table_t mavlink_common_crc_table;    /* the common message set */
extern const mavlink_crc_table_t mavlink_catalogue_crc_table; /* every catalogued message */

/* The row of `msgid` in `table`, or null. */
const mavlink_msg_entry_t* mavlink_find_msg_entry(const mavlink_crc_table_t* table, uint32_t msgid);

/* The CRC-extra row of `msgid`, or null when the message is not in the common set. */
const mavlink_msg_entry_t* mavlink_get_msg_entry(uint32_t msgid);

/* Process-wide channel slots, zero-filled at load. Channels must be below
 * MAVLINK_COMM_NUM_BUFFERS; the accessors return null otherwise. */
extern mavlink_status_t m_mavlink_status[MAVLINK_COMM_NUM_BUFFERS];
extern mavlink_message_t m_mavlink_buffer[MAVLINK_COMM_NUM_BUFFERS];
extern mavlink_replay_t m_mavlink_replay[MAVLINK_COMM_NUM_BUFFERS];
mavlink_status_t* mavlink_get_channel_status(uint8_t chan);
mavlink_message_t* mavlink_get_channel_buffer(uint8_t chan);
mavlink_replay_t* mavlink_get_channel_replay(uint8_t chan);

void _mav_parse_error(mavlink_status_t* status);

/* One framing step on an explicit frame buffer and status; returns the raw
 * framing result (MAVLINK_FRAMING_*). `r_message` and `r_mavlink_status` may be null. */
uint8_t mavlink_frame_char_buffer(mavlink_message_t* rxmsg, mavlink_status_t* status, uint8_t c,
                                  mavlink_message_t* r_message, mavlink_status_t* r_mavlink_status);
/* The framing step on a channel slot; no resynchronisation. */
uint8_t mavlink_frame_char(uint8_t chan, uint8_t c, mavlink_message_t* r_message,
                           mavlink_status_t* r_mavlink_status);

/* Parsing with resynchronisation. A failed frame (bad checksum, message id not
 * in the table, forbidden incompatibility flags) is not simply dropped: the
 * bytes after its start byte are scanned again, in order, before any newer
 * byte, so a frame that began inside it is still found. One input byte can
 * therefore complete more than one frame: after MAVLINK_FRAMING_OK the caller
 * must call the matching *_next function until it stops returning OK, to
 * receive the further frames in stream order. Results are OK or INCOMPLETE. */
uint8_t mavlink_parse_char(uint8_t chan, uint8_t c, mavlink_message_t* r_message,
                           mavlink_status_t* r_mavlink_status);
uint8_t mavlink_parse_next(uint8_t chan, mavlink_message_t* r_message,
                           mavlink_status_t* r_mavlink_status);

/* The same on an explicit state triple, for parsers that own their state. */
uint8_t mavlink_parse_char_buffer(mavlink_message_t* rxmsg, mavlink_status_t* status,
                                  mavlink_replay_t* replay, uint8_t c, mavlink_message_t* r_message,
                                  mavlink_status_t* r_mavlink_status);
uint8_t mavlink_parse_next_buffer(mavlink_message_t* rxmsg, mavlink_status_t* status,
                                  mavlink_replay_t* replay, mavlink_message_t* r_message,
                                  mavlink_status_t* r_mavlink_status);

/* Feeds up to `length` bytes and stops right after the first good frame.
 * Pending rescan bytes are scanned before `data`. `*consumed` receives how
 * many bytes of `data` were taken (possibly 0 when a pending byte completed
 * the frame). Returns OK when a frame is in `r_message`, INCOMPLETE when all
 * of `data` was taken and nothing is pending. Frames complete against the
 * common set's table.
 *
 * Where a frame lies in the stream: `replay` always holds a suffix of the
 * bytes consumed so far, and after a call returns OK its bytes from `pos` to
 * `len` are exactly the consumed bytes that follow the frame. So with T the
 * total of all `*consumed` so far, the frame's last byte is stream byte
 * T - (len - pos) - 1 (0-based), that is, the frame ends at offset
 * T - (len - pos). This holds for mavlink_parse_end too, which consumes
 * nothing. */
uint8_t mavlink_parse_run(mavlink_message_t* rxmsg, mavlink_status_t* status,
                          mavlink_replay_t* replay, const uint8_t* data, uint64_t length,
                          uint64_t* consumed, mavlink_message_t* r_message,
                          mavlink_status_t* r_mavlink_status);

/* mavlink_parse_run with frames completing against `table`. */
uint8_t mavlink_parse_run_table(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg,
                                mavlink_status_t* status, mavlink_replay_t* replay,
                                const uint8_t* data, uint64_t length, uint64_t* consumed,
                                mavlink_message_t* r_message, mavlink_status_t* r_mavlink_status);

/* End of input. A frame still in progress (a start byte that never completed
 * a frame) is abandoned like a failed frame, and the bytes held after its
 * start byte are scanned again. Returns OK for each good frame found, in
 * stream order (call again until it returns INCOMPLETE); then the parser is
 * idle with nothing pending, ready for a new stream. Without it, good frames
 * in the last bytes of a stream behind a false start byte are never seen. */
uint8_t mavlink_parse_end(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg,
                          mavlink_status_t* status, mavlink_replay_t* replay,
                          mavlink_message_t* r_message, mavlink_status_t* r_mavlink_status);

#ifdef __cplusplus
}
#endif

#endif

#include "mavlink/mavlink_parser.h"

#include <string.h>

#include "mavlink/mavlink_message_crcs.h"

extern "C" {

mavlink_status_t m_mavlink_status[MAVLINK_COMM_NUM_BUFFERS];
mavlink_message_t m_mavlink_buffer[MAVLINK_COMM_NUM_BUFFERS];
mavlink_replay_t m_mavlink_replay[MAVLINK_COMM_NUM_BUFFERS];

const mavlink_crc_table_t mavlink_common_crc_table = {mavlink_message_crcs, MAVLINK_MESSAGE_CRCS_COUNT};
const mavlink_crc_table_t mavlink_catalogue_crc_table = {mavlink_catalogue_crcs, MAVLINK_CATALOGUE_SIZE};

}  // extern "C"

namespace {

// The checksum as defined: one byte at a time, shifts and XORs. Kept as the
// reference the lookup tables below are built from and checked against.
constexpr uint16_t accumulateBitwise(uint8_t data, uint16_t crc) {
    uint8_t tmp = static_cast<uint8_t>(data ^ (crc & 0xFF));
    tmp = static_cast<uint8_t>(tmp ^ (tmp << 4));
    return static_cast<uint16_t>((crc >> 8) ^ (tmp << 8) ^ (tmp << 3) ^ (tmp >> 4));
}

// Slicing tables: entry [k][b] is the checksum change of byte b followed by k
// zero bytes, so eight bytes fold in with eight independent lookups.
struct crcTables {
    uint16_t t[8][256];
};

constexpr crcTables makeCrcTables() {
    crcTables tables{};
    for (unsigned b = 0; b < 256; ++b) tables.t[0][b] = accumulateBitwise(static_cast<uint8_t>(b), 0);
    for (unsigned k = 1; k < 8; ++k)
        for (unsigned b = 0; b < 256; ++b) {
            const uint16_t prev = tables.t[k - 1][b];
            tables.t[k][b] = static_cast<uint16_t>((prev >> 8) ^ tables.t[0][prev & 0xFF]);
        }
    return tables;
}

constexpr crcTables crcTable = makeCrcTables();

constexpr bool tableMatchesBitwise() {
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned low = 0; low < 256; low += 51)
            for (unsigned high = 0; high < 256; high += 17) {
                const auto start = static_cast<uint16_t>(high << 8 | low);
                const auto byTable = static_cast<uint16_t>((start >> 8) ^ crcTable.t[0][(start ^ b) & 0xFF]);
                if (byTable != accumulateBitwise(static_cast<uint8_t>(b), start)) return false;
            }
    return true;
}
static_assert(tableMatchesBitwise(), "checksum table agrees with the bitwise definition");

// Takes and returns the checksum by value: `checksum` of the packed frame
// record may sit at an odd address, where no reference may bind to it.
inline uint16_t accumulate(uint8_t data, uint16_t sum) {
    return static_cast<uint16_t>((sum >> 8) ^ crcTable.t[0][(sum ^ data) & 0xFF]);
}

// The checksum of `n` bytes, eight at a time while they last.
inline uint16_t accumulateRun(const uint8_t* p, uint64_t n, uint16_t sum) {
    for (; n >= 8; p += 8, n -= 8)
        sum = static_cast<uint16_t>(crcTable.t[7][(p[0] ^ sum) & 0xFF] ^ crcTable.t[6][(p[1] ^ (sum >> 8)) & 0xFF] ^
                                    crcTable.t[5][p[2]] ^ crcTable.t[4][p[3]] ^ crcTable.t[3][p[4]] ^ crcTable.t[2][p[5]] ^
                                    crcTable.t[1][p[6]] ^ crcTable.t[0][p[7]]);
    for (; n > 0; ++p, --n) sum = accumulate(*p, sum);
    return sum;
}

inline uint8_t* payload(mavlink_message_t* msg) {
    return reinterpret_cast<uint8_t*>(msg->payload64);
}

// Bisection over the sorted rows; the row of `msgid`, or null.
inline const mavlink_msg_entry_t* findEntry(const mavlink_crc_table_t* table, uint32_t msgid) {
    const mavlink_msg_entry_t* rows = table->entries;
    if (table->count == 0) return nullptr;
    uint32_t low = 0, high = table->count - 1;
    while (low < high) {
        const uint32_t mid = (low + 1 + high) / 2;
        if (msgid < rows[mid].msgid) {
            high = mid - 1;
        } else if (msgid > rows[mid].msgid) {
            low = mid;
        } else {
            low = mid;
            break;
        }
    }
    return rows[low].msgid == msgid ? &rows[low] : nullptr;
}

inline bool idle(const mavlink_status_t* status) {
    return status->parse_state <= MAVLINK_PARSE_STATE_IDLE;
}

inline void beginFrame(mavlink_message_t* rxmsg, mavlink_status_t* status, uint8_t magic) {
    status->parse_state = MAVLINK_PARSE_STATE_GOT_STX;
    rxmsg->len = 0;
    rxmsg->magic = magic;
    if (magic == MAVLINK_STX_MAVLINK1)
        status->flags |= MAVLINK_STATUS_FLAG_IN_MAVLINK1;
    else
        status->flags &= static_cast<uint8_t>(~MAVLINK_STATUS_FLAG_IN_MAVLINK1);
    rxmsg->checksum = X25_INIT_CRC;
}

// Step 3: the channel's counters for a good frame.
inline void countGoodFrame(const mavlink_message_t* rxmsg, mavlink_status_t* status) {
    status->current_rx_seq = rxmsg->seq;
    if (status->packet_rx_success_count == 0) status->packet_rx_drop_count = 0;
    status->packet_rx_success_count++;
}

// Step 4: the per-byte report to the caller's records.
inline void finishStep(const mavlink_message_t* rxmsg, mavlink_status_t* status,
                       mavlink_message_t* r_message, mavlink_status_t* r_status) {
    if (r_message != nullptr) r_message->len = rxmsg->len;
    if (r_status != nullptr) {
        r_status->parse_state = status->parse_state;
        r_status->packet_idx = status->packet_idx;
        r_status->current_rx_seq = static_cast<uint8_t>(status->current_rx_seq + 1);
        r_status->packet_rx_success_count = status->packet_rx_success_count;
        r_status->packet_rx_drop_count = status->parse_error;
        r_status->flags = status->flags;
    }
    status->parse_error = 0;
    if (status->msg_received == MAVLINK_FRAMING_BAD_CRC && r_message != nullptr)
        r_message->checksum = static_cast<uint16_t>(rxmsg->ck[0] | (rxmsg->ck[1] << 8));
}

// Steps 1-4 of the framing state machine for one byte.
inline uint8_t frameStep(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg, mavlink_status_t* status, uint8_t c,
                         mavlink_message_t* r_message, mavlink_status_t* r_status) {
    status->msg_received = MAVLINK_FRAMING_INCOMPLETE;
    const bool v1 = (status->flags & MAVLINK_STATUS_FLAG_IN_MAVLINK1) != 0;

    switch (status->parse_state) {
    case MAVLINK_PARSE_STATE_UNINIT:
    case MAVLINK_PARSE_STATE_IDLE:
        if (c == MAVLINK_STX || c == MAVLINK_STX_MAVLINK1) beginFrame(rxmsg, status, c);
        break;
    case MAVLINK_PARSE_STATE_GOT_STX:
        rxmsg->len = c;
        status->packet_idx = 0;
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        if (v1) {
            rxmsg->incompat_flags = 0;
            rxmsg->compat_flags = 0;
            status->parse_state = MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS;
        } else {
            status->parse_state = MAVLINK_PARSE_STATE_GOT_LENGTH;
        }
        break;
    case MAVLINK_PARSE_STATE_GOT_LENGTH:
        rxmsg->incompat_flags = c;
        if ((c & ~MAVLINK_IFLAG_SIGNED) != 0) {
            _mav_parse_error(status);
            status->parse_state = MAVLINK_PARSE_STATE_IDLE;
            break;
        }
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_INCOMPAT_FLAGS;
        break;
    case MAVLINK_PARSE_STATE_GOT_INCOMPAT_FLAGS:
        rxmsg->compat_flags = c;
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS;
        break;
    case MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS:
        rxmsg->seq = c;
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_SEQ;
        break;
    case MAVLINK_PARSE_STATE_GOT_SEQ:
        rxmsg->sysid = c;
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_SYSID;
        break;
    case MAVLINK_PARSE_STATE_GOT_SYSID:
        rxmsg->compid = c;
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_COMPID;
        break;
    case MAVLINK_PARSE_STATE_GOT_COMPID:
        rxmsg->msgid = c;
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        if (v1)
            status->parse_state = rxmsg->len > 0 ? MAVLINK_PARSE_STATE_GOT_MSGID3
                                                 : MAVLINK_PARSE_STATE_GOT_PAYLOAD;
        else
            status->parse_state = MAVLINK_PARSE_STATE_GOT_MSGID1;
        break;
    case MAVLINK_PARSE_STATE_GOT_MSGID1:
        rxmsg->msgid = rxmsg->msgid | (static_cast<uint32_t>(c) << 8);
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_MSGID2;
        break;
    case MAVLINK_PARSE_STATE_GOT_MSGID2:
        rxmsg->msgid = rxmsg->msgid | (static_cast<uint32_t>(c) << 16);
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        status->parse_state = rxmsg->len > 0 ? MAVLINK_PARSE_STATE_GOT_MSGID3
                                             : MAVLINK_PARSE_STATE_GOT_PAYLOAD;
        break;
    case MAVLINK_PARSE_STATE_GOT_MSGID3:
        payload(rxmsg)[status->packet_idx++] = c;
        rxmsg->checksum = accumulate(c, rxmsg->checksum);
        if (status->packet_idx == rxmsg->len) status->parse_state = MAVLINK_PARSE_STATE_GOT_PAYLOAD;
        break;
    case MAVLINK_PARSE_STATE_GOT_PAYLOAD: {
        const mavlink_msg_entry_t* entry = findEntry(table, rxmsg->msgid);
        rxmsg->ck[0] = c;
        if (entry == nullptr) {
            status->parse_state = MAVLINK_PARSE_STATE_GOT_BAD_CRC1;
            break;
        }
        rxmsg->checksum = accumulate(entry->crc_extra, rxmsg->checksum);
        status->parse_state = c == (rxmsg->checksum & 0xFF) ? MAVLINK_PARSE_STATE_GOT_CRC1
                                                            : MAVLINK_PARSE_STATE_GOT_BAD_CRC1;
        // A MAVLink 2 sender drops trailing zero bytes of the payload; restore them.
        if (status->packet_idx < entry->max_msg_len)
            memset(payload(rxmsg) + status->packet_idx, 0, entry->max_msg_len - status->packet_idx);
        break;
    }
    case MAVLINK_PARSE_STATE_GOT_CRC1:
    case MAVLINK_PARSE_STATE_GOT_BAD_CRC1:
        status->msg_received = (status->parse_state == MAVLINK_PARSE_STATE_GOT_BAD_CRC1 ||
                                c != (rxmsg->checksum >> 8))
                                   ? MAVLINK_FRAMING_BAD_CRC
                                   : MAVLINK_FRAMING_OK;
        rxmsg->ck[1] = c;
        if (rxmsg->incompat_flags & MAVLINK_IFLAG_SIGNED) {
            status->parse_state = MAVLINK_PARSE_STATE_SIGNATURE_WAIT;
            status->signature_wait = MAVLINK_SIGNATURE_BLOCK_LEN;
            if (status->msg_received != MAVLINK_FRAMING_BAD_CRC)
                status->msg_received = MAVLINK_FRAMING_INCOMPLETE;
        } else {
            status->parse_state = MAVLINK_PARSE_STATE_IDLE;
            if (r_message != nullptr) memcpy(r_message, rxmsg, sizeof(mavlink_message_t));
        }
        break;
    case MAVLINK_PARSE_STATE_SIGNATURE_WAIT:
        rxmsg->signature[MAVLINK_SIGNATURE_BLOCK_LEN - status->signature_wait] = c;
        if (--status->signature_wait == 0) {
            // Signatures are not verified: no signing configuration exists.
            status->msg_received = MAVLINK_FRAMING_OK;
            status->parse_state = MAVLINK_PARSE_STATE_IDLE;
            if (r_message != nullptr) memcpy(r_message, rxmsg, sizeof(mavlink_message_t));
        }
        break;
    default:
        // Not a state this parser produces; start over.
        status->parse_state = MAVLINK_PARSE_STATE_IDLE;
        break;
    }

    if (status->msg_received == MAVLINK_FRAMING_OK) countGoodFrame(rxmsg, status);
    finishStep(rxmsg, status, r_message, r_status);
    return status->msg_received;
}

// One byte through the framing step plus resynchronisation. `fresh` is true for
// a byte taken from the input, false for a byte rescanned from `replay`.
// Keeps `replay` holding the frame in progress from its start byte; on a
// failure, the bytes after that start byte become pending.
inline uint8_t parseStep(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg, mavlink_status_t* status,
                         mavlink_replay_t* replay, uint8_t c, bool fresh,
                         mavlink_message_t* r_message, mavlink_status_t* r_status) {
    const bool wasIdle = idle(status);
    const mavlink_parse_state_t before = status->parse_state;
    const uint8_t result = frameStep(table, rxmsg, status, c, r_message, r_status);

    if (wasIdle) {
        if (status->parse_state == MAVLINK_PARSE_STATE_GOT_STX) {
            if (fresh) {
                replay->bytes[0] = c;
                replay->len = replay->pos = 1;
            } else {
                // The start byte was bytes[pos - 1]; drop what precedes it.
                const uint16_t skip = static_cast<uint16_t>(replay->pos - 1);
                memmove(replay->bytes, replay->bytes + skip, replay->len - skip);
                replay->len = static_cast<uint16_t>(replay->len - skip);
                replay->pos = 1;
            }
        }
        return result;
    }

    if (fresh) {
        if (replay->len < MAVLINK_MAX_FRAME_LEN) {
            replay->bytes[replay->len++] = c;
            replay->pos = replay->len;
        } else {
            // Cannot happen for well-formed state (a frame fits); never write past the end.
            replay->len = replay->pos = 0;
        }
    }

    const bool abandoned = before == MAVLINK_PARSE_STATE_GOT_LENGTH &&
                           status->parse_state == MAVLINK_PARSE_STATE_IDLE;
    if (result == MAVLINK_FRAMING_BAD_CRC || result == MAVLINK_FRAMING_BAD_SIGNATURE) {
        _mav_parse_error(status);
        status->msg_received = MAVLINK_FRAMING_INCOMPLETE;
        status->parse_state = MAVLINK_PARSE_STATE_IDLE;
        replay->pos = replay->len > 0 ? 1 : 0;
        return MAVLINK_FRAMING_INCOMPLETE;
    }
    if (abandoned) {
        replay->pos = replay->len > 0 ? 1 : 0;
        return MAVLINK_FRAMING_INCOMPLETE;
    }
    if (result == MAVLINK_FRAMING_OK && fresh) replay->len = replay->pos = 0;
    return result;
}

inline bool isStartByte(uint8_t c) { return static_cast<uint8_t>(c - MAVLINK_STX) < 2; }

// The per-byte reports of `count` bytes taken in one go that completed no
// frame: each overwrites the previous one, and every report after the first
// carries a zero error count.
inline void reportRun(const mavlink_message_t* rxmsg, mavlink_status_t* status, uint64_t count,
                      mavlink_message_t* r_message, mavlink_status_t* r_status) {
    if (count == 0) return;
    status->msg_received = MAVLINK_FRAMING_INCOMPLETE;
    finishStep(rxmsg, status, r_message, r_status);
    if (count > 1) finishStep(rxmsg, status, r_message, r_status);
}

// Takes a whole good frame starting with the start byte at src[0], if all of
// it lies within the `avail` bytes at `src`, with the same effect as stepping
// through it byte by byte from an idle state. Returns its length, or 0 with
// nothing changed when the frame is cut short or fails in any way; the byte
// path then takes it, with its resynchronisation.
inline uint32_t wholeFrame(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg, mavlink_status_t* status, const uint8_t* src,
                           uint64_t avail, mavlink_message_t* r_message, mavlink_status_t* r_status) {
    const bool v1 = src[0] == MAVLINK_STX_MAVLINK1;
    const uint32_t header = v1 ? 6 : 10;  // start byte to message id, inclusive
    if (avail < header) return 0;
    const uint32_t len = src[1];
    uint32_t total = header + len + 2;
    if (!v1) {
        if ((src[2] & ~MAVLINK_IFLAG_SIGNED) != 0) return 0;
        if (src[2] & MAVLINK_IFLAG_SIGNED) total += MAVLINK_SIGNATURE_BLOCK_LEN;
    }
    if (avail < total) return 0;
    const uint32_t msgid = v1 ? src[5] : (src[7] | static_cast<uint32_t>(src[8]) << 8 |
                                          static_cast<uint32_t>(src[9]) << 16);
    const mavlink_msg_entry_t* entry = findEntry(table, msgid);
    if (entry == nullptr) return 0;
    const uint16_t sum = accumulate(entry->crc_extra, accumulateRun(src + 1, header - 1 + len, X25_INIT_CRC));
    const uint8_t* ck = src + header + len;
    if (ck[0] != (sum & 0xFF) || ck[1] != (sum >> 8)) return 0;

    rxmsg->magic = src[0];
    rxmsg->len = static_cast<uint8_t>(len);
    if (v1) {
        rxmsg->incompat_flags = 0;
        rxmsg->compat_flags = 0;
        status->flags |= MAVLINK_STATUS_FLAG_IN_MAVLINK1;
    } else {
        rxmsg->incompat_flags = src[2];
        rxmsg->compat_flags = src[3];
        status->flags &= static_cast<uint8_t>(~MAVLINK_STATUS_FLAG_IN_MAVLINK1);
    }
    const uint8_t* ids = src + (v1 ? 2 : 4);  // sequence, system and component ids
    rxmsg->seq = ids[0];
    rxmsg->sysid = ids[1];
    rxmsg->compid = ids[2];
    rxmsg->msgid = msgid;
    memcpy(payload(rxmsg), src + header, len);
    if (len < entry->max_msg_len) memset(payload(rxmsg) + len, 0, entry->max_msg_len - len);
    rxmsg->checksum = sum;
    rxmsg->ck[0] = ck[0];
    rxmsg->ck[1] = ck[1];
    if (total > header + len + 2) {
        memcpy(rxmsg->signature, ck + 2, MAVLINK_SIGNATURE_BLOCK_LEN);
        status->signature_wait = 0;
    }
    status->packet_idx = static_cast<uint8_t>(len);
    status->parse_state = MAVLINK_PARSE_STATE_IDLE;
    status->msg_received = MAVLINK_FRAMING_OK;
    countGoodFrame(rxmsg, status);
    // Only the last byte's report survives, and earlier ones cleared the errors.
    status->parse_error = 0;
    if (r_message != nullptr) memcpy(r_message, rxmsg, sizeof(mavlink_message_t));
    finishStep(rxmsg, status, r_message, r_status);
    return total;
}

// Payload bytes of the frame in progress taken from `src` in one go: stored,
// summed and counted; returns how many (up to the end of the payload).
inline uint16_t takePayload(mavlink_message_t* rxmsg, mavlink_status_t* status, const uint8_t* src,
                            uint64_t length) {
    const uint64_t want = static_cast<uint64_t>(rxmsg->len - status->packet_idx);
    const uint16_t n = static_cast<uint16_t>(want < length ? want : length);
    memcpy(payload(rxmsg) + status->packet_idx, src, n);
    rxmsg->checksum = accumulateRun(src, n, rxmsg->checksum);
    status->packet_idx = static_cast<uint8_t>(status->packet_idx + n);
    if (status->packet_idx == rxmsg->len) status->parse_state = MAVLINK_PARSE_STATE_GOT_PAYLOAD;
    return n;
}

// Takes as many payload bytes of the frame in progress as `data` holds, at
// most up to the end of the payload; returns how many.
inline uint64_t bulkPayload(mavlink_message_t* rxmsg, mavlink_status_t* status,
                            mavlink_replay_t* replay, const uint8_t* data, uint64_t length) {
    const uint16_t n = takePayload(rxmsg, status, data, length);
    if (replay->len + n <= MAVLINK_MAX_FRAME_LEN) {
        memcpy(replay->bytes + replay->len, data, n);
        replay->len = replay->pos = static_cast<uint16_t>(replay->len + n);
    } else {
        replay->len = replay->pos = 0;  // unreachable for a frame that fits
    }
    return n;
}

// Scans pending bytes until a frame completes or none are left.
inline uint8_t drain(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg, mavlink_status_t* status, mavlink_replay_t* replay,
                     mavlink_message_t* r_message, mavlink_status_t* r_status) {
    while (replay->pos < replay->len) {
        // Runs that need no decision are taken in bulk, as in mavlink_parse_run.
        if (idle(status)) {
            const uint16_t from = replay->pos;
            while (replay->pos < replay->len && !isStartByte(replay->bytes[replay->pos])) ++replay->pos;
            reportRun(rxmsg, status, replay->pos - from, r_message, r_status);
            if (replay->pos == replay->len) break;
            const uint32_t n = wholeFrame(table, rxmsg, status, replay->bytes + replay->pos,
                                          replay->len - replay->pos, r_message, r_status);
            if (n != 0) {
                // As the byte path leaves it: the frame's start byte first.
                const uint16_t skip = replay->pos;
                memmove(replay->bytes, replay->bytes + skip, replay->len - skip);
                replay->len = static_cast<uint16_t>(replay->len - skip);
                replay->pos = static_cast<uint16_t>(n);
                if (replay->pos == replay->len) replay->len = replay->pos = 0;
                return MAVLINK_FRAMING_OK;
            }
        } else if (status->parse_state == MAVLINK_PARSE_STATE_GOT_MSGID3) {
            const uint16_t n = takePayload(rxmsg, status, replay->bytes + replay->pos, replay->len - replay->pos);
            replay->pos = static_cast<uint16_t>(replay->pos + n);
            reportRun(rxmsg, status, n, r_message, r_status);
            continue;
        }
        const uint8_t c = replay->bytes[replay->pos++];
        if (parseStep(table, rxmsg, status, replay, c, false, r_message, r_status) == MAVLINK_FRAMING_OK) {
            if (replay->pos == replay->len) replay->len = replay->pos = 0;
            return MAVLINK_FRAMING_OK;
        }
    }
    // Outside a frame nothing needs keeping; inside one, bytes[0] is its start byte.
    if (idle(status)) replay->len = replay->pos = 0;
    return MAVLINK_FRAMING_INCOMPLETE;
}

inline uint8_t parseOne(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg, mavlink_status_t* status, mavlink_replay_t* replay,
                        uint8_t c, mavlink_message_t* r_message, mavlink_status_t* r_status) {
    if (replay->pos < replay->len) {
        // Pending bytes precede `c`: queue it behind them. Pending bytes only
        // remain after a completed frame, so the parser is idle and what lies
        // before `pos` is no longer needed.
        if (idle(status)) {
            memmove(replay->bytes, replay->bytes + replay->pos, replay->len - replay->pos);
            replay->len = static_cast<uint16_t>(replay->len - replay->pos);
            replay->pos = 0;
        }
        if (replay->len < MAVLINK_MAX_FRAME_LEN) replay->bytes[replay->len++] = c;
        return drain(table, rxmsg, status, replay, r_message, r_status);
    }
    const uint8_t result = parseStep(table, rxmsg, status, replay, c, true, r_message, r_status);
    if (result == MAVLINK_FRAMING_OK || replay->pos == replay->len) return result;
    return drain(table, rxmsg, status, replay, r_message, r_status);
}

// End of input. A frame still in progress never completes: abandon it, as a
// failed frame is, and scan the bytes after its start byte again; repeat
// while the rescan itself ends inside a frame. Each round drops at least that
// start byte, so the loop ends.
inline uint8_t endOfInput(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg,
                          mavlink_status_t* status, mavlink_replay_t* replay,
                          mavlink_message_t* r_message, mavlink_status_t* r_status) {
    for (;;) {
        if (replay->pos < replay->len &&
            drain(table, rxmsg, status, replay, r_message, r_status) == MAVLINK_FRAMING_OK)
            return MAVLINK_FRAMING_OK;
        // Nothing is pending now; outside a frame there is nothing left to do.
        if (idle(status) || replay->len == 0) {
            if (!idle(status)) status->parse_state = MAVLINK_PARSE_STATE_IDLE;
            replay->len = replay->pos = 0;
            return MAVLINK_FRAMING_INCOMPLETE;
        }
        _mav_parse_error(status);
        status->parse_state = MAVLINK_PARSE_STATE_IDLE;
        replay->pos = 1;
    }
}

inline uint8_t parseRun(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg, mavlink_status_t* status,
                        mavlink_replay_t* replay, const uint8_t* data, uint64_t length, uint64_t* consumed,
                        mavlink_message_t* r_message, mavlink_status_t* r_status) {
    *consumed = 0;
    if (replay->pos < replay->len &&
        drain(table, rxmsg, status, replay, r_message, r_status) == MAVLINK_FRAMING_OK)
        return MAVLINK_FRAMING_OK;
    uint64_t i = 0;
    while (i < length) {
        // Runs of bytes that need no decision are taken in bulk; the result is
        // the same as byte by byte, whose per-byte reports overwrite each other.
        if (status->parse_state == MAVLINK_PARSE_STATE_GOT_MSGID3 && replay->pos == replay->len) {
            const uint64_t n = bulkPayload(rxmsg, status, replay, data + i, length - i);
            reportRun(rxmsg, status, n, r_message, r_status);
            i += n;
            continue;
        }
        if (idle(status)) {
            const uint64_t start = i;
            while (i < length && !isStartByte(data[i])) ++i;
            reportRun(rxmsg, status, i - start, r_message, r_status);
            if (i == length) break;
            // Nothing is pending here, so a whole frame can be taken at once.
            const uint32_t n = wholeFrame(table, rxmsg, status, data + i, length - i, r_message, r_status);
            if (n != 0) {
                replay->len = replay->pos = 0;
                *consumed = i + n;
                return MAVLINK_FRAMING_OK;
            }
        }
        uint8_t result = parseStep(table, rxmsg, status, replay, data[i], true, r_message, r_status);
        ++i;
        if (result != MAVLINK_FRAMING_OK && replay->pos < replay->len)
            result = drain(table, rxmsg, status, replay, r_message, r_status);
        if (result == MAVLINK_FRAMING_OK) {
            *consumed = i;
            return MAVLINK_FRAMING_OK;
        }
    }
    *consumed = length;
    return MAVLINK_FRAMING_INCOMPLETE;
}

const mavlink_crc_table_t* const common = &mavlink_common_crc_table;

}  // namespace

extern "C" {

void crc_init(uint16_t* crcAccum) { *crcAccum = X25_INIT_CRC; }

void crc_accumulate(uint8_t data, uint16_t* crcAccum) { *crcAccum = accumulate(data, *crcAccum); }

uint16_t crc_calculate(const uint8_t* buffer, uint16_t length) {
    return accumulateRun(buffer, length, X25_INIT_CRC);
}

void mavlink_start_checksum(mavlink_message_t* msg) { msg->checksum = X25_INIT_CRC; }

void mavlink_update_checksum(mavlink_message_t* msg, uint8_t c) {
    msg->checksum = accumulate(c, msg->checksum);
}

const mavlink_msg_entry_t* mavlink_find_msg_entry(const mavlink_crc_table_t* table, uint32_t msgid) {
    return findEntry(table, msgid);
}

const mavlink_msg_entry_t* mavlink_get_msg_entry(uint32_t msgid) { return findEntry(common, msgid); }

mavlink_status_t* mavlink_get_channel_status(uint8_t chan) {
    return chan < MAVLINK_COMM_NUM_BUFFERS ? &m_mavlink_status[chan] : nullptr;
}

mavlink_message_t* mavlink_get_channel_buffer(uint8_t chan) {
    return chan < MAVLINK_COMM_NUM_BUFFERS ? &m_mavlink_buffer[chan] : nullptr;
}

mavlink_replay_t* mavlink_get_channel_replay(uint8_t chan) {
    return chan < MAVLINK_COMM_NUM_BUFFERS ? &m_mavlink_replay[chan] : nullptr;
}

void _mav_parse_error(mavlink_status_t* status) { status->parse_error++; }

uint8_t mavlink_frame_char_buffer(mavlink_message_t* rxmsg, mavlink_status_t* status, uint8_t c,
                                  mavlink_message_t* r_message, mavlink_status_t* r_mavlink_status) {
    return frameStep(common, rxmsg, status, c, r_message, r_mavlink_status);
}

uint8_t mavlink_frame_char(uint8_t chan, uint8_t c, mavlink_message_t* r_message,
                           mavlink_status_t* r_mavlink_status) {
    if (chan >= MAVLINK_COMM_NUM_BUFFERS) return MAVLINK_FRAMING_INCOMPLETE;
    return frameStep(common, &m_mavlink_buffer[chan], &m_mavlink_status[chan], c, r_message,
                     r_mavlink_status);
}

uint8_t mavlink_parse_char_buffer(mavlink_message_t* rxmsg, mavlink_status_t* status,
                                  mavlink_replay_t* replay, uint8_t c, mavlink_message_t* r_message,
                                  mavlink_status_t* r_mavlink_status) {
    return parseOne(common, rxmsg, status, replay, c, r_message, r_mavlink_status);
}

uint8_t mavlink_parse_next_buffer(mavlink_message_t* rxmsg, mavlink_status_t* status,
                                  mavlink_replay_t* replay, mavlink_message_t* r_message,
                                  mavlink_status_t* r_mavlink_status) {
    return drain(common, rxmsg, status, replay, r_message, r_mavlink_status);
}

uint8_t mavlink_parse_char(uint8_t chan, uint8_t c, mavlink_message_t* r_message,
                           mavlink_status_t* r_mavlink_status) {
    if (chan >= MAVLINK_COMM_NUM_BUFFERS) return MAVLINK_FRAMING_INCOMPLETE;
    return parseOne(common, &m_mavlink_buffer[chan], &m_mavlink_status[chan], &m_mavlink_replay[chan], c,
                    r_message, r_mavlink_status);
}

uint8_t mavlink_parse_next(uint8_t chan, mavlink_message_t* r_message,
                           mavlink_status_t* r_mavlink_status) {
    if (chan >= MAVLINK_COMM_NUM_BUFFERS) return MAVLINK_FRAMING_INCOMPLETE;
    return drain(common, &m_mavlink_buffer[chan], &m_mavlink_status[chan], &m_mavlink_replay[chan],
                 r_message, r_mavlink_status);
}

uint8_t mavlink_parse_run(mavlink_message_t* rxmsg, mavlink_status_t* status,
                          mavlink_replay_t* replay, const uint8_t* data, uint64_t length,
                          uint64_t* consumed, mavlink_message_t* r_message,
                          mavlink_status_t* r_mavlink_status) {
    return parseRun(common, rxmsg, status, replay, data, length, consumed, r_message, r_mavlink_status);
}

uint8_t mavlink_parse_run_table(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg,
                                mavlink_status_t* status, mavlink_replay_t* replay, const uint8_t* data,
                                uint64_t length, uint64_t* consumed, mavlink_message_t* r_message,
                                mavlink_status_t* r_mavlink_status) {
    return parseRun(table, rxmsg, status, replay, data, length, consumed, r_message, r_mavlink_status);
}

uint8_t mavlink_parse_end(const mavlink_crc_table_t* table, mavlink_message_t* rxmsg,
                          mavlink_status_t* status, mavlink_replay_t* replay,
                          mavlink_message_t* r_message, mavlink_status_t* r_mavlink_status) {
    return endOfInput(table, rxmsg, status, replay, r_message, r_mavlink_status);
}

}  // extern "C"

// Telling DataFlash from MAVLink by the packets each protocol finds, and
// ULog by its header.
#ifndef QUILLON_SNIFFER_H
#define QUILLON_SNIFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace columns {

// Runs both protocols' framing over the same bytes and counts what each
// finds: DataFlash format and data packets that lie outside every good
// MAVLink frame, and MAVLink good frames of any catalogued message. Nothing
// is decoded.
class protocolSniffer {
public:
    protocolSniffer();
    ~protocolSniffer();
    protocolSniffer(const protocolSniffer&) = delete;
    protocolSniffer& operator=(const protocolSniffer&) = delete;

    void feed(const uint8_t* data, uint64_t length);
    // The input has ended (frames found only by scanning its tail again count too).
    void finish();

    uint64_t dataFlashPackets() const { return dataPackets; }
    uint64_t mavlinkFrames() const { return frames; }
    // The input starts with the ULog header's magic bytes.
    bool ulogHeader() const { return headBytes == sizeof head && ulogMagic(); }

    static constexpr uint8_t ulogMagicBytes[7] = {'U', 'L', 'o', 'g', 0x01, 0x12, 0x35};

private:
    struct state;
    std::unique_ptr<state> s;
    uint64_t frames = 0;
    uint64_t dataPackets = 0;
    bool ulogMagic() const;
    uint8_t head[sizeof ulogMagicBytes] = {};
    std::size_t headBytes = 0;  // of the input's first bytes kept in `head`
};

}  // namespace columns

#endif

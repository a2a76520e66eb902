// The times of the first and the last packets of a log, in file order.
// Loggers write rows in near time order, so these tell where a log's
// regular rows start and end, where a single stray time would move the
// earliest or latest time of all.
#ifndef QUILLON_TIMEEDGES_H
#define QUILLON_TIMEEDGES_H

#include <cstdint>
#include <vector>

namespace columns {

struct timeEdges {
    static constexpr unsigned count = 32;  // a power of two: the ring wraps by a mask

    void note(int64_t time) {
        if (noted < count) head[noted] = time;
        tail[noted & (count - 1)] = time;
        ++noted;
    }
    // The first times noted, oldest first.
    std::vector<int64_t> first() const { return {head, head + (noted < count ? noted : count)}; }
    // The last times noted, oldest first.
    std::vector<int64_t> last() const {
        if (noted <= count) return {tail, tail + noted};
        const unsigned at = static_cast<unsigned>(noted & (count - 1));
        std::vector<int64_t> times(tail + at, tail + count);
        times.insert(times.end(), tail, tail + at);
        return times;
    }
    uint64_t size() const { return noted; }

private:
    int64_t head[count] = {};
    int64_t tail[count] = {};
    uint64_t noted = 0;
};

}  // namespace columns

#endif

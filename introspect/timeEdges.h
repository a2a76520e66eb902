// The times of the first and the last packets of a log, in file order.
// Loggers write rows in near time order, so these tell where a log's
// regular rows start and end, where a single stray time would move the
// earliest or latest time of all.
#ifndef QUILLON_TIMEEDGES_H
#define QUILLON_TIMEEDGES_H

#include <algorithm>
#include <cstdint>
#include <vector>

namespace introspect {

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
    // Notes the times of a later stretch of the log, as if each had been
    // noted here in turn.
    void append(const timeEdges& later) {
        std::vector<int64_t> tailTimes = last();
        const std::vector<int64_t> laterTail = later.last();
        tailTimes.insert(tailTimes.end(), laterTail.begin(), laterTail.end());
        const std::vector<int64_t> laterHead = later.first();
        for (std::size_t i = 0; noted + i < count && i < laterHead.size(); ++i) head[noted + i] = laterHead[i];
        const uint64_t total = noted + later.noted;
        // The last times of both, each at the place in the ring note() gives it.
        const std::size_t kept = std::min<std::size_t>(tailTimes.size(), count);
        for (std::size_t i = 0; i < kept; ++i)
            tail[(total - kept + i) & (count - 1)] = tailTimes[tailTimes.size() - kept + i];
        noted = total;
    }

private:
    int64_t head[count] = {};
    int64_t tail[count] = {};
    uint64_t noted = 0;
};

}  // namespace introspect

#endif

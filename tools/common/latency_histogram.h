// A fixed-size latency histogram: constant memory whatever the number of
// samples, no allocation when recording, percentiles within 1 %.
//
// Values are nanoseconds. Below 256 every value has its own bucket; above, each
// power of two is split into 128 equal buckets, so a bucket is never wider than
// 1/128 of its lower bound. Values from 2^44 ns (about 4.9 hours) up share the
// last bucket. Percentiles use the nearest-rank rule and report the highest
// value the chosen bucket can hold, capped by the largest value recorded, so a
// reported percentile is never below the true one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace karst::tools {

class LatencyHistogram {
public:
    static constexpr unsigned kSubBucketBits = 7;
    static constexpr uint64_t kExactLimit = uint64_t{2} << kSubBucketBits;  // 256
    static constexpr unsigned kTopBit = 44;
    static constexpr size_t kBucketCount =
        kExactLimit + (kTopBit - (kSubBucketBits + 1)) * (size_t{1} << kSubBucketBits);

    void record(uint64_t ns);
    void merge(const LatencyHistogram& other);
    void clear();

    uint64_t count() const { return count_; }
    uint64_t max() const { return max_; }
    double meanNs() const;
    // p in [0, 100]; 0 when nothing was recorded.
    uint64_t percentile(double p) const;

    static size_t bucketIndex(uint64_t ns);
    static uint64_t bucketHighest(size_t index);

private:
    std::array<uint64_t, kBucketCount> buckets_{};
    uint64_t count_ = 0;
    uint64_t max_ = 0;
    long double sum_ = 0;
};

}  // namespace karst::tools

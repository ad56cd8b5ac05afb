// Log-linear bucketing: the bucket of a value is found from its highest set bit
// and the next seven bits below it.
#include "common/latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace karst::tools {

namespace {

constexpr uint64_t kSubBuckets = uint64_t{1} << LatencyHistogram::kSubBucketBits;
constexpr uint64_t kLargestTracked = (uint64_t{1} << LatencyHistogram::kTopBit) - 1;

}  // namespace

size_t LatencyHistogram::bucketIndex(uint64_t ns) {
    if (ns < kExactLimit) return static_cast<size_t>(ns);
    ns = std::min(ns, kLargestTracked);
    const unsigned top = static_cast<unsigned>(std::bit_width(ns)) - 1;  // >= 8
    const unsigned shift = top - kSubBucketBits;
    const uint64_t sub = (ns >> shift) - kSubBuckets;  // 0..127
    return static_cast<size_t>(kExactLimit + (top - (kSubBucketBits + 1)) * kSubBuckets + sub);
}

uint64_t LatencyHistogram::bucketHighest(size_t index) {
    if (index < kExactLimit) return index;
    const uint64_t offset = index - kExactLimit;
    const unsigned top = static_cast<unsigned>(offset / kSubBuckets) + kSubBucketBits + 1;
    const uint64_t sub = offset % kSubBuckets;
    const unsigned shift = top - kSubBucketBits;
    return ((kSubBuckets + sub + 1) << shift) - 1;
}

void LatencyHistogram::record(uint64_t ns) {
    ++buckets_[bucketIndex(ns)];
    ++count_;
    max_ = std::max(max_, ns);
    sum_ += static_cast<long double>(ns);
}

void LatencyHistogram::merge(const LatencyHistogram& other) {
    for (size_t i = 0; i < kBucketCount; ++i) buckets_[i] += other.buckets_[i];
    count_ += other.count_;
    max_ = std::max(max_, other.max_);
    sum_ += other.sum_;
}

void LatencyHistogram::clear() { *this = LatencyHistogram(); }

double LatencyHistogram::meanNs() const {
    return count_ == 0 ? 0.0 : static_cast<double>(sum_ / static_cast<long double>(count_));
}

uint64_t LatencyHistogram::percentile(double p) const {
    if (count_ == 0) return 0;
    p = std::clamp(p, 0.0, 100.0);
    // Nearest rank: the smallest value with at least p % of the samples at or below it.
    const double exactRank = std::ceil(p * static_cast<double>(count_) / 100.0);
    const uint64_t rank = std::clamp<uint64_t>(static_cast<uint64_t>(exactRank), 1, count_);
    uint64_t seen = 0;
    for (size_t i = 0; i < kBucketCount; ++i) {
        seen += buckets_[i];
        // The last bucket is open-ended: only the maximum bounds it.
        if (seen >= rank) return i + 1 == kBucketCount ? max_ : std::min(bucketHighest(i), max_);
    }
    return max_;
}

}  // namespace karst::tools

// The id index against a standard map under the server's pattern of use: ids
// handed out in increasing order, connections leaving in any order, and runs of
// colliding ids that wrap past the end of the table.
#include "net/player_index.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace karst {
namespace {

TEST(PlayerIndex, AgreesWithAMapThroughGrowthRemovalAndWrappedRuns) {
    std::vector<int> values(1 << 16);
    PlayerIndex<int> index;
    std::unordered_map<uint32_t, int*> expected;
    std::mt19937 random(7);
    uint32_t nextId = 0;  // id 0 is an ordinary key
    for (int step = 0; step < 200'000; ++step) {
        // Mostly arrivals while small, mostly leaves while large: it grows and shrinks.
        if (expected.empty() || random() % 3000 > expected.size()) {
            const uint32_t id = nextId++;
            int* value = &values[id % values.size()];
            index.insert(id, value);
            expected[id] = value;
        } else {
            auto it = expected.begin();
            std::advance(it, random() % expected.size());
            const uint32_t id = it->first;
            index.erase(id);
            index.erase(id);  // a second removal changes nothing
            expected.erase(it);
            ASSERT_EQ(index.find(id), nullptr);
        }
        ASSERT_EQ(index.size(), expected.size());
        if (step % 97 == 0) {
            for (const auto& [id, value] : expected) ASSERT_EQ(index.find(id), value) << id;
            ASSERT_EQ(index.find(nextId), nullptr);
        }
    }
    index.insert(3, &values[1]);
    index.insert(3, &values[2]);  // replaces
    EXPECT_EQ(index.find(3), &values[2]);
    index.clear();
    EXPECT_EQ(index.find(3), nullptr);
    EXPECT_EQ(index.size(), 0u);
}

}  // namespace
}  // namespace karst

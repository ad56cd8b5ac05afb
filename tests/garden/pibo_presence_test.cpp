#include "garden/pibo_presence.h"

#include <gtest/gtest.h>
#include <vector>

namespace karst {
namespace {

std::vector<size_t> listed(const PiboPresence& presence, const RoomKey& room) {
    const auto span = presence.inRoom(room);
    return {span.begin(), span.end()};
}

TEST(PiboPresence, RoomListsStayInTableOrderWithoutDuplicates) {
    PiboPresence presence;
    const RoomKey garden{40, 0, 0, 1};
    for (size_t position : {7u, 2u, 9u, 2u}) presence.add(garden, position);
    EXPECT_EQ(listed(presence, garden), (std::vector<size_t>{2, 7, 9}));
    EXPECT_TRUE(presence.inRoom(RoomKey{40, 0, 0, 2}).empty());
}

TEST(PiboPresence, RemovingTheLastCreatureForgetsTheRoom) {
    PiboPresence presence;
    const RoomKey garden{41, 1, 0, 0};
    presence.add(garden, 3);
    presence.remove(garden, 4);  // not listed: nothing changes
    presence.remove(RoomKey{39, 0, 0, 0}, 3);
    EXPECT_EQ(listed(presence, garden), (std::vector<size_t>{3}));
    presence.remove(garden, 3);
    EXPECT_TRUE(presence.inRoom(garden).empty());
    EXPECT_EQ(presence.roomCount(), 0u);
}

}  // namespace
}  // namespace karst

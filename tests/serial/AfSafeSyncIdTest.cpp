// Runs in a process of its own (one test, first registration of the process),
// so the id sequence starts from the beginning.
#include "serial/AfSafeSync.h"

#include <gtest/gtest.h>
#include <vector>

using namespace std::chrono_literals;

TEST(AfSafeSyncIds, SequenceReuseFullTableAndWrap) {
    auto noop = [] {};
    // Ids run 1, 2, ...; a freed slot is taken again under a new id.
    EXPECT_EQ(RegisterSyncSlot(noop), 1u);
    EXPECT_EQ(RegisterSyncSlot(noop), 2u);
    ASSERT_TRUE(ReleaseSyncSlot(1));
    EXPECT_EQ(RegisterSyncSlot(noop), 3u);
    EXPECT_FALSE(EnableSyncSlot(1, true)) << "the old id died with its slot";

    // 2 and 3 are taken; 62 more fill the table, which proves the freed slot
    // was reused rather than a 65th one made.
    std::vector<std::uint32_t> ids{2, 3};
    for (int i = 0; i < 62; ++i) {
        std::uint32_t id = RegisterSyncSlot(noop);
        ASSERT_EQ(id, 4u + i);
        ids.push_back(id);
    }
    EXPECT_EQ(RegisterSyncSlot(noop), 0u) << "the 65th registration";
    EXPECT_EQ(RegisterSyncSlot(noop), 0u) << "a failed registration changes nothing";
    for (std::uint32_t id : ids)
        EXPECT_TRUE(EnableSyncSlot(id, true)) << id;

    // Released slots are handed out again; a new registration starts disabled.
    ASSERT_TRUE(ReleaseSyncSlot(ids[10]));
    std::uint32_t again = RegisterSyncSlot(noop);
    EXPECT_EQ(again, 66u);
    EXPECT_FALSE(SyncCall(again, 100ms)) << "registered slots start disabled";

    // After the last id the counter wraps and skips 0.
    ASSERT_TRUE(ReleaseSyncSlot(again));
    std::uint32_t last = NextSyncId(0xFFFFFFFEu);
    EXPECT_EQ(last, 0xFFFFFFFFu);
    EXPECT_EQ(NextSyncId(last), 1u);
}

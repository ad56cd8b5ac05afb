// Completed save: FNV-1a and the exact-size rule of loading.
#include "store/completed_save.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace karst {
namespace {

TEST(CompletedSave, Fnv1aKnownValues) {
    EXPECT_EQ(fnv1a32({}), 0x811C9DC5u);
    EXPECT_EQ(fnv1a32(testing::bytesOf("a")), 0xE40C292Cu);
    EXPECT_EQ(fnv1a32(testing::bytesOf("foobar")), 0xBF9CF968u);
}

TEST(CompletedSave, OnlyAFileOfExactlyTheSizeLoads) {
    testing::TempDir dir;
    const std::string path = dir.file("CometTrail01.snc");
    for (size_t size : {kCompletedSaveFileSize - 1, kCompletedSaveFileSize,
                        kCompletedSaveFileSize + 1}) {
        std::vector<uint8_t> content(size);
        for (size_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(i * 31 + 7);
        testing::writeBytes(path, content);
        const CompletedSave save = loadCompletedSave(path);
        const bool exact = size == kCompletedSaveFileSize;
        EXPECT_EQ(save.loaded, exact) << size;
        EXPECT_EQ(save.hash, exact ? fnv1a32(content) : 0u) << size;
        if (exact) {
            EXPECT_TRUE(std::equal(save.bytes.begin(), save.bytes.end(), content.begin()));
        }
    }
    EXPECT_FALSE(loadCompletedSave(dir.file("absent.snc")).loaded);
    EXPECT_FALSE(loadCompletedSave(dir.path().string()).loaded);  // a directory
}

}  // namespace
}  // namespace karst

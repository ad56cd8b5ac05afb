// Completed save: FNV-1a and the exact-size rule of loading.
#include "store/completed_save.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

namespace karst {
namespace {

using testing::bytesOf;
using testing::TempDir;
using testing::writeBytes;

std::vector<uint8_t> patterned(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    return bytes;
}

TEST(CompletedSave, Fnv1aKnownValues) {
    EXPECT_EQ(fnv1a32({}), 0x811C9DC5u);
    EXPECT_EQ(fnv1a32(bytesOf("a")), 0xE40C292Cu);
    EXPECT_EQ(fnv1a32(bytesOf("foobar")), 0xBF9CF968u);
}

TEST(CompletedSave, ExactSizeLoadsWithHash) {
    TempDir dir;
    const std::string path = dir.file("CometTrail01.snc");
    const std::vector<uint8_t> content = patterned(kCompletedSaveFileSize);
    writeBytes(path, content);
    const CompletedSave save = loadCompletedSave(path);
    ASSERT_TRUE(save.loaded);
    EXPECT_TRUE(std::equal(save.bytes.begin(), save.bytes.end(), content.begin()));
    EXPECT_EQ(save.hash, fnv1a32(content));
}

TEST(CompletedSave, WrongSizesAndMissingFileAreNotLoaded) {
    TempDir dir;
    const std::string path = dir.file("CometTrail01.snc");
    for (size_t size : {size_t{0}, kCompletedSaveFileSize - 1, kCompletedSaveFileSize + 1}) {
        writeBytes(path, patterned(size));
        const CompletedSave save = loadCompletedSave(path);
        EXPECT_FALSE(save.loaded) << size;
        EXPECT_EQ(save.hash, 0u);
    }
    EXPECT_FALSE(loadCompletedSave(dir.file("absent.snc")).loaded);
    EXPECT_FALSE(loadCompletedSave(dir.path().string()).loaded);  // a directory
}

}  // namespace
}  // namespace karst

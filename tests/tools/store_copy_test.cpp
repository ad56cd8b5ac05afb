// karst_store_copy against a throwaway PostgreSQL cluster: store files survive
// a trip through the database unchanged (egg ids from 2^63 included), the egg
// counter never falls behind the ids in use, nothing is overwritten that the
// operator did not ask to replace, and merge lets the files win. Also the lease
// list's text.
#include "store_copy/store_copy.h"

#include "garden/pibo_store.h"
#include "store/lease_list.h"
#include "store/profile_store.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>

namespace karst::storecopy {
namespace {

using testing::readBytes;
using testing::writeBytes;

ProfileRecord profileOf(uint8_t seed, uint32_t rings) {
    ProfileRecord record;
    for (size_t i = 0; i < record.profileKey.size(); ++i) record.profileKey[i] = static_cast<uint8_t>(seed + i);
    record.rings = rings;
    record.serverInventory[1] = seed;
    record.name = {'K', 'n', 'u', seed};
    record.colour = {1, 2, seed};
    return record;
}

PiboRecord piboOf(uint64_t id, const ProfileRecord& owner, uint8_t nameByte) {
    PiboRecord record = makeFreshPiboRecord(id, owner.profileKey);
    record.data[kPiboTypeOffset] = kPiboTypeEgg + 1;
    record.name[0] = nameByte;
    record.parentA = 3;
    record.breedReadyAt = 1'700'000'000;
    return record;
}

ProfileTable tableOf(std::initializer_list<ProfileRecord> records) {
    ProfileTable table;
    for (const ProfileRecord& r : records) table.emplace(r.profileKey, r);
    return table;
}

constexpr uint64_t kHighEggId = 0xF000'0000'0000'0001ull;

class StoreCopy : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::TestDatabase::available()) GTEST_SKIP() << "PostgreSQL server programs not found";
        std::string error;
        cluster_ = test::TestDatabase::shared(error);
        ASSERT_NE(cluster_, nullptr) << error;
        url_ = cluster_->createDatabase(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_FALSE(url_.empty());
    }

    int run(const std::string& command, const std::string& profiles, const std::string& pibo) {
        std::ostringstream out, err;
        const int code = runStoreCopy({command, "--url", url_, "--profile-store", profiles, "--pibo-store", pibo},
                                      out, err);
        out_ = out.str();
        err_ = err.str();
        return code;
    }

    std::string sql(const std::string& query) {
        std::string out;
        EXPECT_TRUE(cluster_->exec(url_, query, &out)) << query;
        return out;
    }

    test::TestDatabase* cluster_ = nullptr;
    std::string url_;
    testing::TempDir dir_;
    std::string out_, err_;
};

TEST_F(StoreCopy, FilesThroughDatabaseComeBackByteForByteWithTheCounterRaised) {
    const ProfileRecord amy = profileOf(1, 120), bob = profileOf(40, 0);
    // In unsigned id order, the order an export lists them in.
    const std::vector<PiboRecord> pibo = {piboOf(derivePiboId(amy.profileKey, 0), amy, 'a'),
                                          piboOf(kFirstServerPiboId + 2, bob, 'b'),
                                          piboOf(kHighEggId, amy, 'c')};
    writeBytes(dir_.file("p.bin"), encodeProfileStore(tableOf({amy, bob})));
    writeBytes(dir_.file("b.bin"), encodePiboStore(pibo, kFirstServerPiboId + 4));

    ASSERT_EQ(run("to-database", dir_.file("p.bin"), dir_.file("b.bin")), kCopyDone) << err_;
    EXPECT_NE(out_.find("copied to the database: 2 profiles"), std::string::npos) << out_;
    EXPECT_EQ(sql("SELECT count(*) FROM karst_pibo WHERE id < 0"), "2\n");  // both egg ids, signed
    ASSERT_EQ(run("to-files", dir_.file("p2.bin"), dir_.file("b2.bin")), kCopyDone) << err_;

    const DecodedProfileStore profiles = decodeProfileStore(readBytes(dir_.file("p2.bin")));
    ASSERT_EQ(profiles.status, ProfileStoreStatus::Loaded);
    EXPECT_EQ(profiles.table, tableOf({amy, bob}));
    // The counter moved past the highest egg id the file held, not just the file's own counter.
    EXPECT_EQ(readBytes(dir_.file("b2.bin")), encodePiboStore(pibo, kHighEggId + 2));
}

TEST_F(StoreCopy, EmptyOrMissingFilesMakeAnEmptyStoreAndExportBack) {
    writeBytes(dir_.file("empty.bin"), {});
    ASSERT_EQ(run("to-database", dir_.file("missing.bin"), dir_.file("also-missing.bin")), kCopyDone) << err_;
    // An empty target file is not a store anyone could lose.
    ASSERT_EQ(run("to-files", dir_.file("empty.bin"), dir_.file("b.bin")), kCopyDone) << err_;
    EXPECT_EQ(readBytes(dir_.file("empty.bin")), encodeProfileStore({}));
    EXPECT_EQ(readBytes(dir_.file("b.bin")), encodePiboStore({}, kFirstServerPiboId));
}

TEST_F(StoreCopy, ExportAndMergeNeedAStoreAndCreateNone) {
    // A mistyped database name must not be filled with empty tables.
    EXPECT_EQ(run("to-files", dir_.file("p.bin"), dir_.file("b.bin")), kCopyRefused);
    EXPECT_NE(err_.find("no karst store"), std::string::npos) << err_;
    EXPECT_EQ(run("merge", dir_.file("p.bin"), dir_.file("b.bin")), kCopyRefused);
    EXPECT_NE(err_.find("neither"), std::string::npos) << err_;
    writeBytes(dir_.file("b.bin"), encodePiboStore({}, kFirstServerPiboId));
    EXPECT_EQ(run("merge", dir_.file("p.bin"), dir_.file("b.bin")), kCopyRefused);
    EXPECT_NE(err_.find("no karst store"), std::string::npos) << err_;
    std::filesystem::remove(dir_.file("b.bin"));
    EXPECT_EQ(sql("SELECT count(*) FROM pg_tables WHERE tablename LIKE 'karst%'"), "0\n");
}

TEST_F(StoreCopy, RefusesToOverwriteADatabaseOrAFileAndToCopyADamagedStore) {
    std::vector<uint8_t> damaged = encodeProfileStore(tableOf({profileOf(1, 5)}));
    damaged.push_back(0);  // a trailing byte refuses a profile store
    writeBytes(dir_.file("damaged.bin"), damaged);
    EXPECT_EQ(run("to-database", dir_.file("damaged.bin"), dir_.file("b.bin")), kCopyRefused);
    EXPECT_NE(err_.find("not a valid profile store"), std::string::npos) << err_;
    EXPECT_EQ(run("to-database", dir_.file("p.bin"), dir_.path().string()), kCopyRefused);
    EXPECT_NE(err_.find("cannot read " + dir_.path().string() + ": Is a directory"), std::string::npos) << err_;

    writeBytes(dir_.file("p.bin"), encodeProfileStore(tableOf({profileOf(1, 5)})));
    ASSERT_EQ(run("to-database", dir_.file("p.bin"), dir_.file("b.bin")), kCopyDone) << err_;
    EXPECT_EQ(run("to-database", dir_.file("p.bin"), dir_.file("b.bin")), kCopyRefused);
    EXPECT_NE(err_.find("already holds"), std::string::npos) << err_;
    EXPECT_EQ(sql("SELECT count(*) FROM karst_profiles"), "1\n");

    const std::vector<uint8_t> before = readBytes(dir_.file("p.bin"));
    EXPECT_EQ(run("to-files", dir_.file("p.bin"), dir_.file("new.bin")), kCopyRefused);
    EXPECT_NE(err_.find("not empty"), std::string::npos) << err_;
    EXPECT_EQ(readBytes(dir_.file("p.bin")), before);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("new.bin")));
}

TEST_F(StoreCopy, MergeLetsTheFilesWinAndKeepsWhatTheyDoNotHold) {
    const ProfileRecord amy = profileOf(1, 120), bob = profileOf(40, 7);
    writeBytes(dir_.file("p.bin"), encodeProfileStore(tableOf({amy, bob})));
    writeBytes(dir_.file("b.bin"), encodePiboStore(std::vector{piboOf(kHighEggId, amy, 'a')}, kFirstServerPiboId));
    ASSERT_EQ(run("to-database", dir_.file("p.bin"), dir_.file("b.bin")), kCopyDone) << err_;

    // What a server dumped during an outage: amy's newer balance, her creature
    // renamed, a new egg.
    const ProfileRecord richerAmy = profileOf(1, 500);
    const std::vector<PiboRecord> dumped = {piboOf(kFirstServerPiboId, bob, 'n'), piboOf(kHighEggId, amy, 'z')};
    writeBytes(dir_.file("dump-p.bin"), encodeProfileStore(tableOf({richerAmy})));
    writeBytes(dir_.file("dump-b.bin"), encodePiboStore(dumped, kFirstServerPiboId));
    ASSERT_EQ(run("merge", dir_.file("dump-p.bin"), dir_.file("dump-b.bin")), kCopyDone) << err_;
    EXPECT_NE(out_.find("merged into the database: 1 profiles"), std::string::npos) << out_;

    ASSERT_EQ(run("to-files", dir_.file("p2.bin"), dir_.file("b2.bin")), kCopyDone) << err_;
    EXPECT_EQ(decodeProfileStore(readBytes(dir_.file("p2.bin"))).table, tableOf({richerAmy, bob}));
    EXPECT_EQ(readBytes(dir_.file("b2.bin")), encodePiboStore(dumped, kHighEggId + 2));
}

TEST(LeaseList, OneLinePerKeyInTheListsOrderCommentsSkipped) {
    ProfileKey low{}, high{};
    for (size_t i = 0; i < kProfileKeySize; ++i) {
        low[i] = static_cast<uint8_t>(i);
        high[i] = static_cast<uint8_t>(0xf0 + i % 16);
    }
    const std::vector<LeaseEntry> entries = {{high, 0}, {low, std::numeric_limits<int64_t>::max()}};
    const std::string text = encodeLeaseList(entries);
    EXPECT_EQ(text, "# karst lease list 1\n"
                    "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff 0\n"
                    "000102030405060708090a0b0c0d0e0f 9223372036854775807\n");
    std::string error;
    EXPECT_EQ(decodeLeaseList(text + "# 0102 a comment\n#\n", error), entries) << error;
    EXPECT_EQ(decodeLeaseList("# karst lease list 1\n", error), std::vector<LeaseEntry>{}) << error;
    EXPECT_EQ(leaseListPathFor("SAVEDATA/p.bin.unsaved-20261207T061500Z"),
              "SAVEDATA/p.bin.unsaved-20261207T061500Z.leases");
}

TEST(LeaseList, RefusesTheWholeListForOneLineItCannotRead) {
    const std::string header = "# karst lease list 1\n", key = "000102030405060708090a0b0c0d0e0f";
    const std::string badLine = "line 2: expected 32 lower-case hex digits", badNumber = "line 2: the lease number";
    struct Case {
        std::string text, error;
    };
    for (const Case& c : std::vector<Case>{
             {"", "line 1: not a lease list"},
             {"# karst lease list 2\n" + key + " 1\n", "line 1: not a lease list"},
             {key + " 1\n", "line 1: not a lease list"},
             {header + key + " 15", "line 2: no line end"},  // perhaps cut from 150
             {header + key + " 1\n#\n" + key + " 2\n", "line 4: key " + key + " is listed twice"},
             {header + "000102030405060708090A0B0C0D0E0F 1\n", badLine},
             {header + key.substr(1) + " 1\n", badLine},
             {header + key + "0 1\n", badLine},
             {header + "g" + key.substr(1) + " 1\n", badLine},
             {header + key + "\n", badLine},
             {header + "\n", badLine},
             {header + key + " \n", badNumber},
             {header + key + "  1\n", badNumber},
             {header + key + " 1\r\n", badNumber},
             {header + key + " -1\n", badNumber},
             {header + key + " +1\n", badNumber},
             {header + key + " 9223372036854775808\n", badNumber},  // one past the largest
         }) {
        std::string error;
        EXPECT_EQ(decodeLeaseList(c.text, error), std::nullopt) << c.text;
        EXPECT_TRUE(error.starts_with(c.error)) << c.text << " -> " << error;
    }
}

TEST(StoreCopyOptions, BadCommandLinesExitWithUsage) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"copy", "--url", "x"}, {"merge"}, {"merge", "--url"}, {"to-files", "--url", "x", "--port", "1"},
             {"to-files", "--url", "x", "--pibo-store", ""},
             {"to-files", "--url", "x", "--pibo-store", "a", "--profile-store", "a"}}) {
        std::ostringstream out, err;
        EXPECT_EQ(runStoreCopy(args, out, err), kCopyUsage) << ::testing::PrintToString(args);
        EXPECT_NE(err.str().find("Usage: karst_store_copy"), std::string::npos);
    }
    const CopyOptionsOutcome defaults = parseCopyOptions({"to-files", "--url", "dbname=karst"});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->profileStorePath, "SAVEDATA/karst-profile-store.bin");
    EXPECT_EQ(defaults.options->piboStorePath, "SAVEDATA/karst-pibo-store.bin");
}

}  // namespace
}  // namespace karst::storecopy

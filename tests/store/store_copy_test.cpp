// karst_store_copy against a throwaway PostgreSQL cluster: store files survive
// a trip through the database unchanged (egg ids from 2^63 included), the egg
// counter never falls behind the ids in use, nothing is overwritten that the
// operator did not ask to replace, and merge lets a dump win only for the keys
// whose lease is still the one its lease list gives. Also the lease list's text.
#include "store/copy/store_copy.h"

#include "app/console_line.h"
#include "garden/pibo_store.h"
#include "store/lease_list.h"
#include "store/profile_store.h"
#include "support/fleet.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// A database's content as the export writes it: Pibo bytes in id order, counter included.
struct DatabaseContent {
    ProfileTable profiles;
    std::vector<uint8_t> pibo;
    bool operator==(const DatabaseContent&) const = default;
};

class StoreCopy : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::TestDatabase::available()) GTEST_SKIP() << "PostgreSQL server programs not found";
        url_ = testing::database().createDatabase(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_FALSE(url_.empty());
    }

    int run(const std::string& command, const std::string& profiles, const std::string& pibo,
            const std::vector<std::string>& more = {}) {
        std::ostringstream out, err;
        std::vector<std::string> args = {command, "--url", url_, "--profile-store", profiles, "--pibo-store", pibo};
        args.insert(args.end(), more.begin(), more.end());
        const int code = runStoreCopy(args, out, err);
        out_ = out.str();
        err_ = err.str();
        return code;
    }

    std::string sql(const std::string& query) { return testing::query(url_, query); }

    // A released lease, as a server leaves it: no holder, the number kept.
    void setLease(const ProfileRecord& profile, int64_t number) {
        sql("INSERT INTO karst_leases (profile_key, server_id, expires_at, lease_number) VALUES ('\\x" +
            formatProfileKeyHex(profile.profileKey) + "', 0, '-infinity', " + std::to_string(number) + ")");
    }

    void writeDump(const ProfileTable& profiles, const std::vector<PiboRecord>& pibo,
                   const std::vector<LeaseEntry>& leases) {
        writeBytes(dir_.file("dump-p.bin"), encodeProfileStore(profiles));
        writeBytes(dir_.file("dump-b.bin"), encodePiboStore(pibo, kFirstServerPiboId));
        writeBytes(leaseListPathFor(dir_.file("dump-p.bin")), testing::bytesOf(encodeLeaseList(leases)));
    }

    int mergeDump(const std::vector<std::string>& more = {}) {
        return run("merge", dir_.file("dump-p.bin"), dir_.file("dump-b.bin"), more);
    }

    // What the database holds, through the export.
    DatabaseContent exported() {
        std::filesystem::remove(dir_.file("out-p.bin"));
        std::filesystem::remove(dir_.file("out-b.bin"));
        EXPECT_EQ(run("to-files", dir_.file("out-p.bin"), dir_.file("out-b.bin")), kCopyDone) << err_;
        return {decodeProfileStore(readBytes(dir_.file("out-p.bin"))).table, readBytes(dir_.file("out-b.bin"))};
    }

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

    EXPECT_EQ(readBytes(dir_.file("p2.bin")), encodeProfileStore(tableOf({amy, bob})));
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
    writeBytes(leaseListPathFor(dir_.file("p.bin")), testing::bytesOf(encodeLeaseList({})));
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

TEST_F(StoreCopy, MergeLoadsTheDumpOverKeysWhoseLeaseIsUnchanged) {
    const ProfileRecord amy = profileOf(1, 120), bob = profileOf(40, 7);
    writeBytes(dir_.file("p.bin"), encodeProfileStore(tableOf({amy, bob})));
    writeBytes(dir_.file("b.bin"), encodePiboStore(std::vector{piboOf(kHighEggId, amy, 'a')}, kFirstServerPiboId));
    ASSERT_EQ(run("to-database", dir_.file("p.bin"), dir_.file("b.bin")), kCopyDone) << err_;
    setLease(amy, 5);
    setLease(bob, 0);  // taken once before lease numbers were counted: the column's default

    // What a server dumped during an outage: amy's newer balance, her creature
    // renamed, a new egg of bob's.
    const ProfileRecord richerAmy = profileOf(1, 500);
    const std::vector<PiboRecord> dumped = {piboOf(kFirstServerPiboId, bob, 'n'), piboOf(kHighEggId, amy, 'z')};
    writeDump(tableOf({richerAmy}), dumped, {{bob.profileKey, 0}, {amy.profileKey, 5}});
    ASSERT_EQ(mergeDump(), kCopyDone) << err_;
    EXPECT_NE(out_.find("merged into the database: 1 profiles"), std::string::npos) << out_;
    EXPECT_NE(out_.find("not loaded: 0 profiles and 0 Pibo records of 0 keys"), std::string::npos) << out_;
    EXPECT_EQ(err_, "");

    EXPECT_EQ(exported(), (DatabaseContent{tableOf({richerAmy, bob}), encodePiboStore(dumped, kHighEggId + 2)}));
}

// amy's lease is the dump's; bob logged on elsewhere since; carol's key has no
// lease row; dave's is not in the list; erin's row is older than the list says.
TEST_F(StoreCopy, MergeLeavesOutKeysItCannotVouchForOrAllWithoutSkipTaken) {
    const ProfileRecord amy = profileOf(1, 1), bob = profileOf(40, 1), carol = profileOf(80, 1),
                        dave = profileOf(120, 1), erin = profileOf(160, 1);
    writeBytes(dir_.file("p.bin"), encodeProfileStore(tableOf({amy, bob, carol, dave, erin})));
    writeBytes(dir_.file("b.bin"), encodePiboStore(std::vector{piboOf(kFirstServerPiboId, amy, 'a')},
                                                   kFirstServerPiboId + 2));
    ASSERT_EQ(run("to-database", dir_.file("p.bin"), dir_.file("b.bin")), kCopyDone) << err_;
    setLease(amy, 5);
    setLease(bob, 6);
    setLease(dave, 4);
    setLease(erin, 2);
    const DatabaseContent before = exported();

    const std::vector<PiboRecord> dumped = {piboOf(kFirstServerPiboId, amy, 'z'), piboOf(kHighEggId, bob, 'b')};
    writeDump(tableOf({profileOf(1, 9), profileOf(40, 9), profileOf(80, 9), profileOf(120, 9), profileOf(160, 9)}),
              dumped, {{amy.profileKey, 5}, {bob.profileKey, 5}, {carol.profileKey, 3}, {erin.profileKey, 3}});
    EXPECT_EQ(mergeDump(), kCopyRefused);
    for (const std::string& line :
         {"not loaded: " + formatProfileKeyHex(bob.profileKey) +
              ": 1 profile and 1 Pibo record (taken since: lease 6, the dump's 5)\n",
          "not loaded: " + formatProfileKeyHex(carol.profileKey) + ": 1 profile and 0 Pibo records (no lease row)\n",
          "not loaded: " + formatProfileKeyHex(dave.profileKey) +
              ": 1 profile and 0 Pibo records (no lease number in the list)\n",
          "not loaded: " + formatProfileKeyHex(erin.profileKey) +
              ": 1 profile and 0 Pibo records (the database's lease 2 is older than the dump's 3)\n",
          std::string("nothing was merged, since 4 keys could not be loaded; --skip-taken loads the other 1 key\n")})
        EXPECT_NE(err_.find(line), std::string::npos) << err_;
    EXPECT_EQ(exported(), before);

    ASSERT_EQ(mergeDump({"--skip-taken"}), kCopyDone) << err_;
    EXPECT_NE(out_.find("merged into the database: 1 profiles"), std::string::npos) << out_;
    EXPECT_NE(out_.find("not loaded: 4 profiles and 1 Pibo record of 4 keys"), std::string::npos) << out_;
    EXPECT_NE(err_.find("(taken since: lease 6, the dump's 5)"), std::string::npos) << err_;
    // bob's egg stayed out, so the counter did not move past its id.
    EXPECT_EQ(exported(), (DatabaseContent{tableOf({profileOf(1, 9), bob, carol, dave, erin}),
                                           encodePiboStore(std::vector{dumped[0]}, kFirstServerPiboId + 2)}));
    EXPECT_EQ(sql("SELECT lease_number FROM karst_leases ORDER BY profile_key"), "5\n6\n4\n2\n");
}

TEST_F(StoreCopy, MergeRefusesADumpWithoutAValidLeaseList) {
    ASSERT_EQ(run("to-database", dir_.file("p.bin"), dir_.file("b.bin")), kCopyDone) << err_;
    const ProfileRecord amy = profileOf(1, 9);
    setLease(amy, 1);
    writeDump(tableOf({amy}), {}, {{amy.profileKey, 1}});
    const std::string listPath = leaseListPathFor(dir_.file("dump-p.bin"));
    std::filesystem::rename(listPath, dir_.file("elsewhere.leases"));
    EXPECT_EQ(mergeDump(), kCopyRefused);
    EXPECT_NE(err_.find("the dump has no lease list: " + listPath), std::string::npos) << err_;

    writeBytes(dir_.file("broken.leases"), testing::bytesOf("# karst lease list 1\n" +
                                                            formatProfileKeyHex(amy.profileKey) + " 1"));
    EXPECT_EQ(mergeDump({"--leases", dir_.file("broken.leases")}), kCopyRefused);
    EXPECT_NE(err_.find("broken.leases is not a valid lease list: line 2: no line end"), std::string::npos) << err_;
    EXPECT_EQ(exported().profiles, ProfileTable{});

    ASSERT_EQ(mergeDump({"--leases", dir_.file("elsewhere.leases")}), kCopyDone) << err_;
    EXPECT_EQ(exported().profiles, tableOf({amy}));
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
             {"to-files", "--url", "x", "--pibo-store", "a", "--profile-store", "a"},
             {"to-files", "--url", "x", "--skip-taken"}, {"to-database", "--url", "x", "--leases", "l"},
             {"merge", "--url", "x", "--leases", ""}, {"merge", "--url", "x", "--leases"}}) {
        std::ostringstream out, err;
        EXPECT_EQ(runStoreCopy(args, out, err), kCopyUsage) << ::testing::PrintToString(args);
        EXPECT_NE(err.str().find("Usage: karst_store_copy"), std::string::npos);
    }
    const CopyOptionsOutcome defaults = parseCopyOptions({"to-files", "--url", "dbname=karst"});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->profileStorePath, "SAVEDATA/karst-profile-store.bin");
    EXPECT_EQ(defaults.options->piboStorePath, "SAVEDATA/karst-pibo-store.bin");
    EXPECT_EQ(defaults.options->leaseListPath, "");
    EXPECT_FALSE(defaults.options->skipTaken);
    const CopyOptionsOutcome merge = parseCopyOptions({"merge", "--skip-taken", "--url", "u", "--leases", "l"});
    ASSERT_TRUE(merge.options) << merge.error;
    EXPECT_TRUE(merge.options->skipTaken);
    EXPECT_EQ(merge.options->leaseListPath, "l");
}

}  // namespace
}  // namespace karst::storecopy

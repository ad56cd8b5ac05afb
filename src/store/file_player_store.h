// The store files as the player store: the profile and Pibo tables in memory,
// each written whole once a pass when it changed (the profile store also at
// every disconnect, as it always was). A session answers at once; the identity is in play
// wherever the server says so, since no other server shares the files.
#pragma once

#include "store/player_store.h"
#include "store/save_report.h"

namespace karst {

class FilePlayerStore final : public PlayerStore {
public:
    FilePlayerStore(ProfileStore& profiles, PiboStore& pibo, SaveReport& profileReport, SaveReport& piboReport)
        : profiles_(profiles), pibo_(pibo), profileReport_(profileReport), piboReport_(piboReport) {}

    void beginSession(const ProfileRecord& fresh, SessionDone done) override;
    bool releasing(const ProfileKey&) const override { return false; }
    void endSession(const ProfileKey&) override { changed(profilesChanged_); }
    // The tables in memory are the server's; this only notes what to save.
    void writeProfile(const ProfileRecord&) override { changed(profilesChanged_); }
    void writePibo(const PiboRecord&) override { changed(piboChanged_); }
    void flush() override;
    uint64_t version() const override { return version_; }
    uint64_t durableThrough() const override { return flushedVersion_; }
    bool confirmsAfterCommit() const override { return false; }
    bool takeEggIds(uint64_t& first, uint64_t& second) override;

    // Shutdown: both files, each failure an error line. False when one failed.
    bool saveAtShutdown();

private:
    void changed(bool& flag) {
        flag = true;
        ++version_;
    }

    ProfileStore& profiles_;
    PiboStore& pibo_;
    SaveReport& profileReport_;
    SaveReport& piboReport_;
    bool profilesChanged_ = false;
    bool piboChanged_ = false;
    uint64_t version_ = 0;
    uint64_t flushedVersion_ = 0;
};

}  // namespace karst

#include "store/file_player_store.h"

namespace karst {

// The stored profile keeps its rings and fruit and takes the Hello's name and
// looks; a first log-on's is the fresh one. Written before the Welcome leaves.
void FilePlayerStore::beginSession(const ProfileRecord& fresh, SessionDone done) {
    SessionStart start;
    start.outcome = SessionOutcome::Admitted;
    start.profile = fresh;
    if (const ProfileRecord* stored = profiles_.find(fresh.profileKey)) {
        start.profile.rings = stored->rings;
        start.profile.serverInventory = stored->serverInventory;
    }
    writeProfile(start.profile);
    done(start);
}

// A failed save is retried at the next change; the report says so once.
void FilePlayerStore::flush() {
    if (profilesChanged_) (void)saveWithReport(profiles_, profileReport_);
    if (piboChanged_) (void)saveWithReport(pibo_, piboReport_);
    profilesChanged_ = piboChanged_ = false;
    flushedVersion_ = version_;
}

bool FilePlayerStore::takeEggIds(uint64_t& first, uint64_t& second) {
    first = pibo_.allocatePiboId();
    second = pibo_.allocatePiboId();
    return true;
}

bool FilePlayerStore::saveAtShutdown() {
    const bool profilesSaved = karst::saveAtShutdown(profiles_, profileReport_);
    const bool piboSaved = karst::saveAtShutdown(pibo_, piboReport_);
    profilesChanged_ = piboChanged_ = false;
    flushedVersion_ = version_;
    return profilesSaved && piboSaved;
}

}  // namespace karst

// Writing the stores with a voice: a save that fails is reported once, with the
// file and the system's reason, and its recovery once (store/save_report.h). The
// final save at shutdown reports its failure as an error, since nothing will
// retry it and the changes since the last good save are lost.
#include "app/console.h"
#include "app/game_server.h"

namespace karst {

namespace {

template <typename Store>
void saveReported(Store& store, SaveReport& report) {
    std::error_code error;
    const bool saved = store.save(error);
    report.record(saved, error);
}

template <typename Store>
bool saveAtShutdown(Store& store, SaveReport& report) {
    std::error_code error;
    if (store.save(error)) {
        report.record(true, error);
        return true;
    }
    printError("Error: final save failed: " + report.failureText(error));
    return false;
}

}  // namespace

void GameServer::writeProfileStore() { saveReported(profileStore_, profileSaveReport_); }

void GameServer::writePiboStore() { saveReported(piboStore_, piboSaveReport_); }

bool GameServer::writeStoresAtShutdown() {
    if (sharedStore_) return closeSharedStore();
    const bool profilesSaved = saveAtShutdown(profileStore_, profileSaveReport_);
    const bool piboSaved = saveAtShutdown(piboStore_, piboSaveReport_);
    return profilesSaved && piboSaved;
}

}  // namespace karst

// Writing the stores with a voice: a save that fails is reported once, with the
// file and the system's reason, and its recovery once (store/save_report.h). The
// final save at shutdown reports its failure as an error, since nothing will
// retry it and the changes since the last good save are lost.
#include "app/console.h"
#include "app/game_server.h"

namespace karst {

void GameServer::writeProfileStore() { (void)saveWithReport(profileStore_, profileSaveReport_); }

void GameServer::writePiboStore() { (void)saveWithReport(piboStore_, piboSaveReport_); }

bool GameServer::writeStoresAtShutdown() {
    if (sharedStore_) return closeSharedStore();
    return fileStore_->saveAtShutdown();
}

}  // namespace karst

// The stand-in for builds without the database backend: the settings phase
// refuses `[store] backend = postgresql` with a clear error instead.
#include "store/shared_store.h"

namespace karst {

std::unique_ptr<SharedStore> makeDatabaseStore(const SharedStoreSettings&) { return nullptr; }

bool databaseBackendBuilt() { return false; }

}  // namespace karst

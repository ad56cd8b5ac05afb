// A store that several servers share (profiles and Pibo in a database): the
// player store that the handlers see, and what the loop drives besides. A
// player's session takes a lease on the profile key, so one identity is in play
// on one server at a time; while the lease is held, this server owns the profile
// and its creatures, keeps them in memory as with the files, and writes every
// change through. A change is durable once the database committed it. Every write carries the lease number it was made under and lands only while
// that lease is still this server's; a lease this server can no longer vouch for
// (not renewed in time, taken by another server) ends the session through the
// handler given to setLeaseLost().
//
// When the database cannot be reached, writes wait in memory (the newest copy of
// each record) and go out once the leases are renewed; what still waits at
// shutdown is handed back so the server can keep it in a file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "garden/pibo_store.h"
#include "store/lease_list.h"
#include "store/player_store.h"
#include "store/profile_store.h"

namespace karst {

struct SharedStoreSettings {
    std::string url;               // a libpq connection string
    uint32_t leaseSeconds = 60;    // how long a lease lives unless renewed
};

// A session this server had to end: the player must be told and let go.
struct LostLease {
    ProfileKey key{};
    size_t unstoredChanges = 0;  // waiting changes given up with it
    std::string why;
};
using LeaseLostHandler = std::function<void(const LostLease&)>;

class SharedStore : public PlayerStore {
public:
    bool confirmsAfterCommit() const final { return true; }

    // Start-up, blocking: connects, creates or upgrades the schema, reserves egg
    // ids. False with a reason for the operator.
    virtual bool open(std::string& error) = 0;

    // The loop watches this socket (-1 while there is none) for reading, and
    // for writing when asked.
    virtual int socket() const = 0;
    virtual bool wantsWrite() const = 0;
    // Runs just before the socket closes, so the loop can stop watching it first.
    virtual void setSocketClosing(std::function<void(int)> closing) = 0;
    // Sends, reads, settles units, renews leases and reconnects when due.
    // Never blocks. `ready` says the socket was reported ready this pass.
    virtual void service(uint64_t nowNs, bool ready) = 0;
    virtual bool available() const = 0;
    virtual void setLeaseLost(LeaseLostHandler handler) = 0;

    // Shutdown: writes what waits, gives every lease up, waits up to
    // `timeoutMs`. False when some change could not be written.
    virtual bool close(int timeoutMs) = 0;
    virtual std::vector<ProfileRecord> unsavedProfiles() const = 0;
    virtual std::vector<PiboRecord> unsavedPibo() const = 0;
    // The lease number each unsaved change was made under, one entry per key.
    virtual std::vector<LeaseEntry> unsavedLeases() const = 0;
};

// Null when this build has no database backend.
std::unique_ptr<SharedStore> makeDatabaseStore(const SharedStoreSettings& settings);
bool databaseBackendBuilt();

}  // namespace karst

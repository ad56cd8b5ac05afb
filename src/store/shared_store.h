// A store that several servers share (profiles and Pibo in a database), as the
// server sees it. A player's session takes a lease on the profile key, so one
// identity is in play on one server at a time; while the lease is held, this
// server owns the profile and its creatures, keeps them in memory as with the
// files, and writes every change through.
//
// Every change gets a number (a version). A change is settled once the database
// committed it, or once it was given up together with its lease: a reply that
// reports a change leaves only when durableThrough() has passed its number.
// Every write carries the lease number it was made under and lands only while
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
#include "store/profile_store.h"

namespace karst {

struct SharedStoreSettings {
    std::string url;               // a libpq connection string
    uint32_t leaseSeconds = 60;    // how long a lease lives unless renewed
};

enum class SessionOutcome {
    Admitted,     // the lease is ours; profile and creatures loaded
    InUse,        // another live server holds the key
    Unavailable,  // the database cannot be reached
};

struct SessionStart {
    SessionOutcome outcome = SessionOutcome::Unavailable;
    // The stored profile with the Hello's name, character and colour, or the
    // fresh one the session created.
    ProfileRecord profile;
    std::vector<PiboRecord> pibo;  // every creature the profile owns
};

using SessionDone = std::function<void(SessionStart&)>;

// A session this server had to end: the player must be told and let go.
struct LostLease {
    ProfileKey key{};
    size_t unstoredChanges = 0;  // waiting changes given up with it
    std::string why;
};
using LeaseLostHandler = std::function<void(const LostLease&)>;


class SharedStore {
public:
    virtual ~SharedStore() = default;

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

    // Takes the key's lease, creates the profile from `fresh` or updates the
    // stored one's name, character and colour, and loads its creatures. `done`
    // runs from service() once the database has committed it.
    virtual void beginSession(const ProfileRecord& fresh, SessionDone done) = 0;
    // Gives the lease up after every change written before it; a change of its own.
    virtual void endSession(const ProfileKey& key) = 0;
    // The key's session ended here and its lease is not given up yet.
    virtual bool releasing(const ProfileKey& key) const = 0;

    // Changes for the next unit; a later copy of the same record replaces an
    // earlier one still waiting. A record whose owner holds no lease here is
    // not written.
    virtual void writeProfile(const ProfileRecord& record) = 0;
    virtual void writePibo(const PiboRecord& record) = 0;
    // Sends what waits as one unit (one transaction), unless the leases must
    // be renewed first.
    virtual void flush() = 0;
    // The number of the newest change, and the number up to which every change
    // is settled (committed, or given up with its lease).
    virtual uint64_t version() const = 0;
    virtual uint64_t durableThrough() const = 0;

    // Two fleet-wide egg ids; false while none are reserved (database out of reach).
    virtual bool takeEggIds(uint64_t& first, uint64_t& second) = 0;

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

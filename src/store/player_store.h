// Where players' progress is kept, as the handlers see it: the store files
// (FilePlayerStore) or a database that a fleet of servers shares (SharedStore).
// Handlers call this and nothing else: a Hello begins a session, every change
// of a profile or a creature is written through it, a disconnect ends the
// session, and the loop flushes once a pass.
//
// Every change gets a number (its version). A change is settled once it is
// durable, or once it was given up together with its session: a reply that
// reports a change may leave only when durableThrough() has passed its number.
// With the files, flush() makes everything durable before the loop writes any
// reply, so nothing needs to wait (confirmsAfterCommit() is false).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "garden/pibo_store.h"
#include "store/profile_store.h"

namespace karst {

enum class SessionOutcome {
    Admitted,     // the identity is this server's; profile and creatures loaded
    InUse,        // another live server holds the key
    Unavailable,  // storage cannot be reached
};

struct SessionStart {
    SessionOutcome outcome = SessionOutcome::Unavailable;
    // The stored profile with the Hello's name, character and colour, or the
    // fresh one the session created; already written.
    ProfileRecord profile;
    std::vector<PiboRecord> pibo;  // creatures the profile owns, when they were not in memory yet
};

using SessionDone = std::function<void(SessionStart&)>;

class PlayerStore {
public:
    virtual ~PlayerStore() = default;

    // Takes the identity, creates the profile from `fresh` (the Hello's name
    // and looks, the starting rings) or updates the stored one's name,
    // character and colour, and loads it. `done` runs before this returns when
    // the answer is at hand, or from a later pass.
    virtual void beginSession(const ProfileRecord& fresh, SessionDone done) = 0;
    // The key's last session here has not let go of it yet.
    virtual bool releasing(const ProfileKey& key) const = 0;
    // Lets the identity go, after every change written before.
    virtual void endSession(const ProfileKey& key) = 0;

    virtual void writeProfile(const ProfileRecord& record) = 0;
    virtual void writePibo(const PiboRecord& record) = 0;
    // Once a pass, before the queues are written: what changed goes out.
    virtual void flush() = 0;

    virtual uint64_t version() const = 0;
    virtual uint64_t durableThrough() const = 0;
    virtual bool confirmsAfterCommit() const = 0;

    // Two new egg ids; false when none can be had now.
    virtual bool takeEggIds(uint64_t& first, uint64_t& second) = 0;
};

}  // namespace karst

#include "soak/soak_check.h"

#include "client/store_files.h"

#include <string>

namespace karst::soak {

namespace {

void mismatch(StoreCheck& check, SoakWorld& world, const std::string& text) {
    ++check.mismatches;
    world.error("store check: " + text);
}

void checkProfiles(StoreCheck& check, const client::StoredProfiles& store,
                   std::span<const PlayerExpectation> players, SoakWorld& world) {
    for (size_t i = 0; i < players.size(); ++i) {
        const auto& [key, expected] = players[i];
        if (!expected.known) continue;
        ++check.profilesChecked;
        const std::string who = "player " + std::to_string(i);
        const auto found = store.find(key);
        if (found == store.end()) {
            mismatch(check, world, who + " has no profile");
            continue;
        }
        const client::StoredProfile* record = &found->second;
        if (record->rings != expected.rings)
            mismatch(check, world, who + " has " + std::to_string(record->rings) +
                                       " rings stored, " + std::to_string(expected.rings) +
                                       " confirmed");
        if (expected.uncertain) {
            ++check.profilesUncertain;
            continue;
        }
        const uint16_t fruit = record->fruit[static_cast<size_t>(kSoakFruit)];
        if (fruit != expected.fruit)
            mismatch(check, world, who + " has " + std::to_string(fruit) + " fruit stored, " +
                                       std::to_string(expected.fruit) + " bought");
    }
}

void checkPibo(StoreCheck& check, const std::map<uint64_t, client::StoredPibo>& store, SoakWorld& world) {
    for (const auto& [id, owner] : world.registeredPibo()) {
        ++check.piboChecked;
        const auto found = store.find(id);
        if (found == store.end() || found->second.owner != owner)
            mismatch(check, world, "registered Pibo " + std::to_string(id) + " is missing");
    }
    for (const auto& [id, egg] : world.eggs()) {
        ++check.eggsChecked;
        const auto found = store.find(id);
        if (found == store.end()) {
            mismatch(check, world, "egg " + std::to_string(id) + " is missing");
            continue;
        }
        const client::StoredPibo* r = &found->second;
        if (r->owner != egg.owner || r->parentA != egg.parentA || r->parentB != egg.parentB ||
            r->stage != client::kPiboStageEgg || r->data[client::kPiboTypeOffset] != client::kPiboTypeEgg)
            mismatch(check, world, "egg " + std::to_string(id) + " differs from its breeding");
        if (egg.claimedSlot < 0) continue;
        ++check.claimsChecked;
        if (r->localSlot != egg.claimedSlot || r->pendingDelivery != 0)
            mismatch(check, world, "the claim of egg " + std::to_string(id) + " was lost");
    }
}

}  // namespace

StoreCheck checkStores(std::span<const uint8_t> profileFile, std::span<const uint8_t> piboFile,
                       std::span<const PlayerExpectation> players, SoakWorld& world) {
    StoreCheck check;
    const auto profiles = client::readProfileStore(profileFile);
    check.profileFileLoaded = profiles.has_value();
    if (!profiles) {
        mismatch(check, world, "the profile store does not load");
    } else {
        check.profilesInFile = profiles->size();
        checkProfiles(check, *profiles, players, world);
    }
    const auto pibo = client::readPiboStore(piboFile);
    check.piboFileLoaded = pibo.has_value();
    if (!pibo) {
        mismatch(check, world, "the Pibo store does not load");
    } else {
        check.piboInFile = pibo->records.size();
        checkPibo(check, pibo->records, world);
    }
    return check;
}

}  // namespace karst::soak

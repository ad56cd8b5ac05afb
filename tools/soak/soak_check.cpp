#include "soak/soak_check.h"

#include "garden/pibo_store.h"
#include "store/profile_store.h"

#include <string>
#include <unordered_map>

namespace karst::soak {

namespace {

void mismatch(StoreCheck& check, SoakWorld& world, const std::string& text) {
    ++check.mismatches;
    world.error("store check: " + text);
}

void checkProfiles(StoreCheck& check, const DecodedProfileStore& store,
                   std::span<const PlayerExpectation> players, SoakWorld& world) {
    for (size_t i = 0; i < players.size(); ++i) {
        const auto& [key, expected] = players[i];
        if (!expected.known) continue;
        ++check.profilesChecked;
        const std::string who = "player " + std::to_string(i);
        const auto it = store.table.find(key);
        if (it == store.table.end()) {
            mismatch(check, world, who + " has no profile");
            continue;
        }
        const ProfileRecord& record = it->second;
        if (record.rings != expected.rings)
            mismatch(check, world, who + " has " + std::to_string(record.rings) +
                                       " rings stored, " + std::to_string(expected.rings) +
                                       " confirmed");
        if (expected.uncertain) {
            ++check.profilesUncertain;
            continue;
        }
        const uint16_t fruit = record.serverInventory[static_cast<size_t>(kSoakFruit)];
        if (fruit != expected.fruit)
            mismatch(check, world, who + " has " + std::to_string(fruit) + " fruit stored, " +
                                       std::to_string(expected.fruit) + " bought");
    }
}

void checkPibo(StoreCheck& check, const DecodedPiboStore& store, SoakWorld& world) {
    std::unordered_map<uint64_t, const PiboRecord*> byId;
    for (const PiboRecord& r : store.records) byId.emplace(r.id, &r);
    for (const auto& [id, owner] : world.registeredPibo()) {
        ++check.piboChecked;
        const auto it = byId.find(id);
        if (it == byId.end() || it->second->owner != owner)
            mismatch(check, world, "registered Pibo " + std::to_string(id) + " is missing");
    }
    for (const auto& [id, egg] : world.eggs()) {
        ++check.eggsChecked;
        const auto it = byId.find(id);
        if (it == byId.end()) {
            mismatch(check, world, "egg " + std::to_string(id) + " is missing");
            continue;
        }
        const PiboRecord& r = *it->second;
        if (r.owner != egg.owner || r.parentA != egg.parentA || r.parentB != egg.parentB ||
            r.stage != kPiboStageEgg || r.data[kPiboTypeOffset] != kPiboTypeEgg)
            mismatch(check, world, "egg " + std::to_string(id) + " differs from its breeding");
        if (egg.claimedSlot < 0) continue;
        ++check.claimsChecked;
        if (r.localSlot != egg.claimedSlot || r.pendingDelivery != 0)
            mismatch(check, world, "the claim of egg " + std::to_string(id) + " was lost");
    }
}

}  // namespace

StoreCheck checkStores(std::span<const uint8_t> profileFile, std::span<const uint8_t> piboFile,
                       std::span<const PlayerExpectation> players, SoakWorld& world) {
    StoreCheck check;
    const DecodedProfileStore profiles = decodeProfileStore(profileFile);
    check.profileFileLoaded = profiles.status == ProfileStoreStatus::Loaded;
    check.profilesInFile = profiles.table.size();
    if (!check.profileFileLoaded) mismatch(check, world, "the profile store does not load");
    else checkProfiles(check, profiles, players, world);

    const DecodedPiboStore pibo = decodePiboStore(piboFile);
    check.piboFileLoaded = pibo.status == PiboStoreStatus::Loaded;
    check.piboInFile = pibo.records.size();
    if (!check.piboFileLoaded) mismatch(check, world, "the Pibo store does not load");
    else checkPibo(check, pibo, world);
    return check;
}

}  // namespace karst::soak

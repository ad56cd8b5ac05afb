// Breeding: two hatched creatures of two players, close together in a garden,
// go on a wall-clock cooldown and give each owner an egg that waits in the store
// until the owner's game claims or registers it.
//
// Cooldowns are wall-clock seconds since 1970 (persisted, so they survive a
// restart); every refused request gets the same notice and changes nothing.
#include "app/game_server.h"
#include "net/client_messages.h"
#include "garden/breeding_rules.h"
#include "garden/pibo_egg.h"
#include "garden/pibo_messages.h"
#include "net/clock.h"
#include "net/coding.h"

namespace karst {

namespace {
}  // namespace

bool GameServer::handlePiboBreed(ClientConnection& connection, std::span<const uint8_t> payload) {
    const auto [firstId, secondId] = decodePiboBreed(payload);
    if (firstId == secondId) return false;
    const uint64_t now = wallClockSeconds();

    PiboRecord* first = piboStore_.find(firstId);
    PiboRecord* second = piboStore_.find(secondId);
    if (!mayBreed(first, second, connection.profileKey, connection.roomKey, now)) {
        sendNotice(connection, NoticeCode::CannotBreed, "Those Pibo cannot breed right now");
        return true;
    }
    uint64_t firstEggId = 0, secondEggId = 0;
    if (!allocateEggIds(firstEggId, secondEggId)) {
        sendNotice(connection, NoticeCode::CannotBreed, "Those Pibo cannot breed right now");
        return true;
    }
    const PiboRecord firstParent = *first;
    const PiboRecord secondParent = *second;
    first->breedReadyAt = now + kBreedingCooldownSeconds;
    second->breedReadyAt = now + kBreedingCooldownSeconds;
    const PiboRecord eggs[2] = {
        makeSiblingEgg(firstEggId, firstParent.owner, firstParent, secondParent, firstId, secondId,
                       now),
        makeSiblingEgg(secondEggId, secondParent.owner, secondParent, firstParent, firstId,
                       secondId, now),
    };
    // Inserting moves records: `first` and `second` must not be used past here.
    for (const PiboRecord& egg : eggs) (void)piboStore_.insert(egg);

    broadcastMessage(connection.roomKey, MessageType::PiboBred,
                     encodePiboBred({firstId, secondId, firstEggId, secondEggId,
                                     firstParent.holderPlayerId, secondParent.holderPlayerId}),
                     kExcludeNobody);
    std::array<uint8_t, kPiboDeliverySize> delivery;
    for (const PiboRecord& egg : eggs) {
        ClientConnection* owner = findAuthenticatedByProfileKey(egg.owner);
        if (owner == nullptr) continue;  // it is delivered at the owner's next Hello
        encodePiboDelivery(delivery.data(), egg);
        sendMessage(*owner, MessageType::PiboDelivery, delivery);
    }
    for (const uint64_t id : {firstId, secondId, firstEggId, secondEggId}) notePiboChange(id);
    return true;
}

}  // namespace karst

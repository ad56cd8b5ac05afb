// Derivation of the bots' identities.
#include "bots/bot_identity.h"

#include "common/seed_mix.h"
#include "common/wire.h"

namespace karst::bots {

namespace {

using tools::mixBits;

// Tags the keys of this tool, so they stay apart from other key derivations.
constexpr uint64_t kBotKeyTag = 0x4B41525354424F54ull;  // "KARSTBOT"

}  // namespace

ProfileKey botProfileKey(uint64_t seed, uint32_t index) {
    const uint64_t base = mixBits(seed ^ kBotKeyTag);
    const uint64_t low = mixBits(base + 2ull * index);
    const uint64_t high = mixBits(base + 2ull * index + 1);
    ProfileKey key{};
    tools::putU64(key.data(), low);
    tools::putU64(key.data() + 8, high);
    if (key == ProfileKey{}) key[0] = 1;
    return key;
}

uint8_t botCharacter(int16_t level) {
    for (uint8_t c = 0; c < client::kCharacterCount; ++c)
        if (client::stageOpenToCharacter(level, c)) return c;
    return 0;
}

RoomKey botRoomKey(const BotOptions& options, uint32_t roomIndex) {
    return RoomKey{options.level, options.act, 0, options.firstRoom + roomIndex + 1};
}

}  // namespace karst::bots

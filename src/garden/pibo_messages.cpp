// The garden's payload codecs and stateless checks; little-endian through net/coding.h.
#include "garden/pibo_messages.h"

#include "game/player_state.h"
#include "net/coding.h"
#include "net/printable_text.h"

#include <cstring>
#include <string_view>

namespace karst {

namespace {
constexpr std::string_view kDefaultPiboName = "Pibo";
}  // namespace

PiboRegisterRequest decodePiboRegister(std::span<const uint8_t> payload) {
    const uint8_t* p = payload.data();
    std::array<uint8_t, kPiboNameSize> name;
    std::memcpy(name.data(), p + kRegisterNameOffset, kPiboNameSize);
    return PiboRegisterRequest{
        .id = getU64(p),
        .room = decodeRoomKey(p + kRegisterRoomOffset),
        .localSlot = p[kRegisterSlotOffset],
        .stage = p[kRegisterStageOffset],
        .name = name,
        .data = payload.subspan<kRegisterDataOffset, kPiboDataSize>(),
    };
}

bool isConsistentRegistration(const PiboRegisterRequest& request) {
    if (request.localSlot >= kLocalSlotCount) return false;
    const uint8_t type = request.data[kPiboTypeOffset];
    if (!isValidPiboType(type)) return false;
    const uint8_t expectedStage = type == kPiboTypeEgg ? kPiboStageEgg : kPiboStageHatched;
    return request.stage == expectedStage;
}

void sanitizePiboName(std::array<uint8_t, kPiboNameSize>& name) {
    (void)sanitizeNameField(name, kDefaultPiboName);
}

bool hasValidPiboStateFloats(std::span<const uint8_t, kPiboStateSize> state) {
    return worldFloatsValid(state.subspan(kPiboStateFloatsOffset, 4 * kPiboStateFloatCount));
}

}  // namespace karst

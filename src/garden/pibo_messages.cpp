// The garden's payload codecs and stateless checks; little-endian through net/coding.h.
#include "garden/pibo_messages.h"

#include "net/coding.h"
#include "net/printable_text.h"

#include <cmath>
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
    for (size_t i = 0; i < kPiboStateFloatCount; ++i) {
        const float value = getF32(state.data() + kPiboStateFloatsOffset + 4 * i);
        // NaN fails the comparison as well as infinity does.
        if (!(std::fabs(value) <= kMaxPiboStateMagnitude)) return false;
    }
    return true;
}

}  // namespace karst

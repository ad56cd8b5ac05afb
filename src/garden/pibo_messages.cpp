// The garden's payload codecs and stateless checks; little-endian through net/coding.h.
#include "garden/pibo_messages.h"

#include "net/coding.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace karst {

namespace {
constexpr std::string_view kDefaultPiboName = "Pibo";
constexpr uint8_t kFirstPrintable = 0x20;
constexpr uint8_t kLastPrintable = 0x7E;
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
    name[kPiboNameSize - 1] = 0;
    for (uint8_t& byte : name) {
        if (byte == 0) break;
        if (byte < kFirstPrintable || byte > kLastPrintable) byte = '_';
    }
    if (name[0] == 0) {
        name.fill(0);
        std::copy(kDefaultPiboName.begin(), kDefaultPiboName.end(), name.begin());
    }
}

bool hasValidPiboStateFloats(std::span<const uint8_t, kPiboStateSize> state) {
    for (size_t i = 0; i < kPiboStateFloatCount; ++i) {
        const float value = getF32(state.data() + kPiboStateFloatsOffset + 4 * i);
        // NaN fails the comparison as well as infinity does.
        if (!(std::fabs(value) <= kMaxPiboStateMagnitude)) return false;
    }
    return true;
}

std::array<uint8_t, kPiboReleaseSize> encodePiboRelease(uint64_t id) {
    std::array<uint8_t, kPiboReleaseSize> out;
    putU64(out.data(), id);
    return out;
}

std::array<uint8_t, kPiboFeedSize> encodePiboFeedEcho(uint32_t feederId,
                                                      std::span<const uint8_t> request) {
    std::array<uint8_t, kPiboFeedSize> out;
    putU32(out.data(), feederId);
    std::memcpy(out.data() + kFeedOwnerOffset, request.data() + kFeedOwnerOffset,
                kPiboFeedSize - kFeedOwnerOffset);
    return out;
}

std::array<uint8_t, kPiboInteractResultSize> encodePiboInteractResult(uint64_t actorId,
                                                                      uint64_t targetId,
                                                                      uint8_t action,
                                                                      PiboInteractCode code) {
    std::array<uint8_t, kPiboInteractResultSize> out;
    const bool allowed = code == PiboInteractCode::Allowed;
    ByteWriter(out)
        .u64(actorId)
        .u64(targetId)
        .u8(action)
        .u8(allowed ? 1 : 0)
        .u16(static_cast<uint16_t>(code));
    return out;
}

std::array<uint8_t, kPiboBredSize> encodePiboBred(const PiboBredNews& news) {
    std::array<uint8_t, kPiboBredSize> out;
    ByteWriter(out)
        .u64(news.firstId)
        .u64(news.secondId)
        .u64(news.firstEggId)
        .u64(news.secondEggId)
        .u32(news.firstHolderId)
        .u32(news.secondHolderId);
    return out;
}

}  // namespace karst

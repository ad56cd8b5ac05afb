// Pieces shared by the two readers of settings text, the configuration file and
// the command line, so that a value converts the same way whichever one gives it.
// Private to src/app: the public face of settings is app/settings.h.
#pragma once

#include "app/settings.h"

#include <string>
#include <string_view>

namespace karst::app {

// The white space trimmed from file lines and skipped before a number.
inline constexpr std::string_view kSpaceBytes = " \t\n\v\f\r";

std::string_view trimSpaces(std::string_view text);
// Lower-cases A to Z only; every other byte, including non-ASCII, is kept as is.
std::string toLowerAscii(std::string_view text);

enum class FieldKind { Text, Number, Port, Rings, Boolean };

// One field of ServerSettings and how a text value converts into it. Exactly
// one member pointer is set, the one that matches `kind`.
struct SettingField {
    FieldKind kind = FieldKind::Text;
    std::string ServerSettings::*text = nullptr;
    uint32_t ServerSettings::*number = nullptr;  // Number and Rings
    uint16_t ServerSettings::*port = nullptr;
    bool ServerSettings::*flag = nullptr;
};

constexpr SettingField textField(std::string ServerSettings::*field) {
    return {.kind = FieldKind::Text, .text = field};
}
constexpr SettingField numberField(uint32_t ServerSettings::*field) {
    return {.kind = FieldKind::Number, .number = field};
}
constexpr SettingField portField(uint16_t ServerSettings::*field) {
    return {.kind = FieldKind::Port, .port = field};
}
constexpr SettingField ringsField(uint32_t ServerSettings::*field) {
    return {.kind = FieldKind::Rings, .number = field};
}
constexpr SettingField booleanField(bool ServerSettings::*field) {
    return {.kind = FieldKind::Boolean, .flag = field};
}

// Stores `value` into the field. Returns false, leaving the field as it was,
// only when a number does not convert. A boolean that is none of the accepted
// words also leaves the field as it was, but counts as success: it is not
// worth a warning.
bool assignSettingValue(ServerSettings& settings, const SettingField& field,
                        std::string_view value);

}  // namespace karst::app

// Small conveniences for loopback tests: distinct identities and clients that
// have completed their handshake.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "client/test_client.h"

namespace karst::testing {

inline ProfileKey profileKeyFor(uint8_t n) {
    ProfileKey key{};
    key.fill(n);
    key[0] = 0xA5;  // never all zero
    return key;
}

// Connects, says Hello and waits for Welcome; the test fails if any step fails.
inline client::KarstClient welcomedClient(uint16_t port, const std::string& name, uint8_t keySeed,
                                          uint8_t character = 0) {
    client::KarstClient c;
    EXPECT_TRUE(c.connect(port));
    EXPECT_TRUE(c.hello(name, character, client::Colour{1, 2, 3}, profileKeyFor(keySeed)));
    EXPECT_TRUE(c.awaitWelcome().has_value()) << name << " got no Welcome";
    return c;
}

}  // namespace karst::testing

// Statements assembled at compile time from the constants they restate, so a
// record size or an expression two statements share is spelled once, and the
// statement is still one constant text that libpq receives as it is.
//
// joinSql takes string literals, other SqlConstants and sqlDecimal<V>() in any
// mix; c_str() gives the text for libpq.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace karst {

template <size_t N>  // N counts the terminating zero
struct SqlConstant {
    static constexpr size_t kLength = N - 1;
    std::array<char, N> chars{};

    constexpr const char* c_str() const { return chars.data(); }
};

template <size_t N>
constexpr SqlConstant<N> sqlPiece(const char (&text)[N]) {
    SqlConstant<N> piece;
    std::copy_n(text, N, piece.chars.begin());
    return piece;
}

template <size_t N>
constexpr SqlConstant<N> sqlPiece(const SqlConstant<N>& piece) {
    return piece;
}

template <typename... Pieces>
constexpr auto joinSql(const Pieces&... pieces) {
    SqlConstant<(decltype(sqlPiece(pieces))::kLength + ... + 1)> joined;
    size_t at = 0;
    const auto append = [&](const auto& piece) {
        std::copy_n(piece.chars.begin(), piece.kLength, joined.chars.begin() + at);
        at += piece.kLength;
    };
    (append(sqlPiece(pieces)), ...);
    return joined;
}

constexpr size_t decimalDigits(uint64_t value) {
    size_t digits = 1;
    for (; value >= 10; value /= 10) ++digits;
    return digits;
}

// A non-negative number as SQL text.
template <uint64_t kValue>
constexpr auto sqlDecimal() {
    SqlConstant<decimalDigits(kValue) + 1> text;
    uint64_t rest = kValue;
    for (size_t i = decimalDigits(kValue); i-- > 0; rest /= 10) text.chars[i] = static_cast<char>('0' + rest % 10);
    return text;
}

// Any number as SQL text.
template <int64_t kValue>
constexpr auto sqlSignedDecimal() {
    if constexpr (kValue < 0)
        return joinSql("-", sqlDecimal<uint64_t{0} - static_cast<uint64_t>(kValue)>());
    else
        return sqlDecimal<static_cast<uint64_t>(kValue)>();
}

}  // namespace karst

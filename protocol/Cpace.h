#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

// CPace over ristretto255 with SHA-512, the building blocks of our key check,
// composed exactly as the public CFRG CPace draft describes them (suite
// CPACE-RISTR255-SHA512) from libsodium's primitives. They are separate from
// the handshake so that the draft's own test vectors can check them.
namespace proto::cpace {

using Bytes = std::vector<std::uint8_t>;
using Element = std::array<std::uint8_t, 32>; // an encoded ristretto255 element
using Scalar = std::array<std::uint8_t, 32>; // little-endian, below the group order
using Hash = std::array<std::uint8_t, 64>; // SHA-512

inline constexpr char kDsi[] = "CPaceRistretto255";

// The length as LEB128, then the bytes.
Bytes prependLen(std::span<const std::uint8_t> data);
// prependLen of each part, concatenated.
Bytes lvCat(std::initializer_list<std::span<const std::uint8_t>> parts);

// lv_cat(DSI, PRS, zero padding to fill SHA-512's first 128-byte block, CI, sid).
Bytes generatorString(
    std::span<const std::uint8_t> prs, std::span<const std::uint8_t> ci, std::span<const std::uint8_t> sid);
// The password's generator: SHA-512 of the generator string, mapped with
// ristretto255's one-way map.
Element calculateGenerator(
    std::span<const std::uint8_t> prs, std::span<const std::uint8_t> ci, std::span<const std::uint8_t> sid);

// Uniform in 1 .. order-1.
Scalar sampleScalar();
// y * X; nothing when X is not a canonical encoding or the product is the
// identity, the draft's abort condition.
std::optional<Element> scalarMultVfy(const Scalar& y, std::span<const std::uint8_t> x);

// ISK = SHA-512(lv_cat(DSI || "_ISK", sid, K) || lv_cat(Ya, ADa) || lv_cat(Yb, ADb)),
// the initiator-responder transcript.
Hash intermediateSessionKey(std::span<const std::uint8_t> sid, const Element& k, const Element& ya,
    std::span<const std::uint8_t> adA, const Element& yb, std::span<const std::uint8_t> adB);

} // namespace proto::cpace

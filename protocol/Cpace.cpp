#include "Cpace.h"

#include "SodiumSupport.h"

#include <sodium.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace proto::cpace {

namespace {

using detail::bytesOf;
using detail::ensureSodium;

constexpr std::size_t kSha512BlockSize = 128;

} // namespace

Bytes prependLen(std::span<const std::uint8_t> data)
{
    Bytes out;
    std::size_t length = data.size();
    do {
        std::uint8_t byte = length & 0x7F;
        length >>= 7;
        if (length != 0)
            byte |= 0x80;
        out.push_back(byte);
    } while (length != 0);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes lvCat(std::initializer_list<std::span<const std::uint8_t>> parts)
{
    Bytes out;
    for (const auto part : parts) {
        const Bytes encoded = prependLen(part);
        out.insert(out.end(), encoded.begin(), encoded.end());
    }
    return out;
}

Bytes generatorString(
    std::span<const std::uint8_t> prs, std::span<const std::uint8_t> ci, std::span<const std::uint8_t> sid)
{
    const auto dsi = bytesOf(kDsi);
    // The padding makes the block that holds the password the same for every
    // password length, and independent of the session's inputs.
    const std::size_t used = prependLen(prs).size() + prependLen(dsi).size() + 1;
    const Bytes zeros(used < kSha512BlockSize ? kSha512BlockSize - used : 0, 0);
    return lvCat({ dsi, prs, zeros, ci, sid });
}

Element calculateGenerator(
    std::span<const std::uint8_t> prs, std::span<const std::uint8_t> ci, std::span<const std::uint8_t> sid)
{
    ensureSodium();
    Bytes text = generatorString(prs, ci, sid);
    Hash hash {};
    crypto_hash_sha512(hash.data(), text.data(), text.size());
    Element g {};
    crypto_core_ristretto255_from_hash(g.data(), hash.data());
    sodium_memzero(text.data(), text.size());
    sodium_memzero(hash.data(), hash.size());
    return g;
}

Scalar sampleScalar()
{
    ensureSodium();
    Scalar y {};
    crypto_core_ristretto255_scalar_random(y.data());
    return y;
}

std::optional<Element> scalarMultVfy(const Scalar& y, std::span<const std::uint8_t> x)
{
    ensureSodium();
    if (x.size() != crypto_scalarmult_ristretto255_BYTES)
        return std::nullopt;
    Element product {};
    // Fails for a non-canonical or invalid encoding and for an identity result.
    if (crypto_scalarmult_ristretto255(product.data(), y.data(), x.data()) != 0)
        return std::nullopt;
    return product;
}

Hash intermediateSessionKey(std::span<const std::uint8_t> sid, const Element& k, const Element& ya,
    std::span<const std::uint8_t> adA, const Element& yb, std::span<const std::uint8_t> adB)
{
    const std::string dsiIsk = std::string(kDsi) + "_ISK";
    Bytes input = lvCat({ bytesOf(dsiIsk), sid, k });
    const Bytes transcript = lvCat({ ya, adA, yb, adB });
    input.insert(input.end(), transcript.begin(), transcript.end());
    Hash isk {};
    crypto_hash_sha512(isk.data(), input.data(), input.size());
    sodium_memzero(input.data(), input.size());
    return isk;
}

} // namespace proto::cpace

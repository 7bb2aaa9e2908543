#include "KeyExchange.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace proto;

namespace {

using Bytes8 = std::vector<std::uint8_t>;

Bytes8 unhex(std::string_view text)
{
    Bytes8 out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

template <typename Container> std::string hex(const Container& bytes)
{
    std::string s;
    for (const auto b : bytes) {
        s += "0123456789abcdef"[b >> 4];
        s += "0123456789abcdef"[b & 15];
    }
    return s;
}

cpace::Scalar scalar(std::string_view text)
{
    cpace::Scalar s {};
    const Bytes8 bytes = unhex(text);
    std::copy(bytes.begin(), bytes.end(), s.begin());
    return s;
}

std::span<const std::uint8_t> ascii(std::string_view text)
{
    return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
}

// The CFRG CPace draft's vectors for ristretto255 with SHA-512 (Appendix B.3).
constexpr std::string_view kDraftCi = "0b415f696e69746961746f720b425f726573706f6e646572";
constexpr std::string_view kDraftSid = "7e4b4791d6a8ef019b936c79fb7f2c57";
constexpr std::string_view kDraftG = "222b6b195fe84b1652badb6f6a3ae3d24341e7306967f0b8115b40d5698c7e56";
constexpr std::string_view kDraftYa = "da3d23700a9e5699258aef94dc060dfda5ebb61f02a5ea77fad53f4ff0976d08";
constexpr std::string_view kDraftYaOut = "d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b9157";
constexpr std::string_view kDraftYb = "d2316b454718c35362d83d69df6320f38578ed59846514 35e2949762d900b80d";
constexpr std::string_view kDraftYbOut = "3ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f7258";
constexpr std::string_view kDraftK = "80b69a8a76457ab6a4d7f887a4bf6b55a2f80ac19c333f917a05fc9887c8b40f";
constexpr std::string_view kDraftIsk = "b69effbf61b51d56401c0f65601abe428de8206feaaf0e32198896dcae7b35cd"
                                       "2b38950a39dfd5d4a79164614c2984f7daa460b588c1e80c3fa2068af7900447";

std::string squeeze(std::string_view text)
{
    std::string s;
    for (const char c : text)
        if (c != ' ')
            s += c;
    return s;
}

// Our own handshake's fixed inputs (docs/protocol.md, "Test vectors"): the
// draft's two scalars, key 12345, nonces 00..0f and 10..1f.
struct Fixed {
    Bytes8 nonceT = unhex("000102030405060708090a0b0c0d0e0f");
    Bytes8 nonceC = unhex("101112131415161718191a1b1c1d1e1f");
    cpace::Scalar ya = scalar(kDraftYa);
    cpace::Scalar yb = scalar(squeeze(kDraftYb));
};

struct Pair {
    ControlHandshake control;
    TerminalHandshake terminal;
    Pair(std::int32_t controlKey, std::int32_t terminalKey, const Fixed& f = {})
        : control(controlKey, f.nonceC, f.ya)
        , terminal(terminalKey, f.nonceT, f.yb)
    {
    }
};

} // namespace

TEST(Cpace, MatchesTheDraftRistretto255Vectors)
{
    const Bytes8 prs { 'P', 'a', 's', 's', 'w', 'o', 'r', 'd' };
    const Bytes8 sid = unhex(kDraftSid);
    const cpace::Element g = cpace::calculateGenerator(prs, unhex(kDraftCi), sid);
    EXPECT_EQ(hex(g), kDraftG);

    const auto ya = cpace::scalarMultVfy(scalar(kDraftYa), g);
    const auto yb = cpace::scalarMultVfy(scalar(squeeze(kDraftYb)), g);
    ASSERT_TRUE(ya && yb);
    EXPECT_EQ(hex(*ya), kDraftYaOut);
    EXPECT_EQ(hex(*yb), kDraftYbOut);

    const auto kA = cpace::scalarMultVfy(scalar(kDraftYa), *yb);
    const auto kB = cpace::scalarMultVfy(scalar(squeeze(kDraftYb)), *ya);
    ASSERT_TRUE(kA && kB);
    EXPECT_EQ(hex(*kA), kDraftK);
    EXPECT_EQ(*kA, *kB);
    EXPECT_EQ(hex(cpace::intermediateSessionKey(sid, *kA, *ya, ascii("ADa"), *yb, ascii("ADb"))), kDraftIsk);

    // B.3.10 and B.3.11: a valid product, then the invalid encodings that must abort.
    const auto s = scalar("7cd0e075fa7955ba52c02759a6c90dbbfc10e6d40aea8d283e407d88cf538a05");
    const auto valid
        = cpace::scalarMultVfy(s, unhex("2c3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c"));
    ASSERT_TRUE(valid);
    EXPECT_EQ(hex(*valid), "7c13645fe790a468f62c39beb7388e541d8405d1ade69d1778c5fe3e7f6b600e");
    EXPECT_FALSE(cpace::scalarMultVfy(s, unhex("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c")));
    EXPECT_FALSE(cpace::scalarMultVfy(s, Bytes8(32, 0)));
}

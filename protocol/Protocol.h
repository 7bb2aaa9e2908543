#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The control <-> terminal wire protocol: length-prefixed binary frames,
// little-endian, versioned, one response per request. docs/protocol.md has
// the frame diagram and every message.
//
//   frame   = u32 length (of everything after it) | header | fields
//   header  = u8 version | u8 kind | u16 op | u32 requestId | u8 fieldCount
//   field   = u8 type | value
//             type 1 int32: 4 bytes
//             type 2 text:  u16 byteLength | UTF-8 bytes
//             type 3 bytes: u16 byteLength | raw bytes
//
// Session: the terminal speaks first with Hello; the two sides run the key
// check (KeyExchange.h: Hello, Auth, Proof, Confirm, AuthResult), and every
// frame after it is sealed with the session's keys. Then the control sends
// Requests and the terminal one Response for each, with the same requestId.
//
//   Request  op = the operation; fields = the operation's input arguments in
//            their interface order (MachineNumber included): integers as
//            int32, texts as text. Out texts are not sent.
//   Response op = the request's op; fields = int32 status (0 success, negative
//            failure), int32 result (the 16-bit boolean), text out (empty when
//            the operation has none), text description (empty on success).
namespace proto {

inline constexpr std::uint8_t kVersion = 3;
inline constexpr std::size_t kLengthPrefix = 4;
inline constexpr std::size_t kHeaderSize = 9;
inline constexpr std::size_t kMaxFrame = 64 * 1024; // whole frame, prefix included
inline constexpr std::size_t kMaxText = 4 * 1024; // one text or bytes field
inline constexpr std::size_t kMaxFields = 16;
inline constexpr std::size_t kNonceSize = 16;
inline constexpr std::size_t kElementSize = 32; // a key check share
inline constexpr std::size_t kTagSize = 64; // a key check proof
inline constexpr std::size_t kSealOverhead = 16; // the AEAD tag on a sealed frame

enum class Kind : std::uint8_t {
    Hello = 1,
    Auth = 2,
    AuthResult = 3,
    Request = 4,
    Response = 5,
    Proof = 6,
    Confirm = 7,
};

// The operations, numbered in the interface's order. 0 is "none" (handshake).
enum class Op : std::uint16_t {
    None = 0,
    ReadSerialNumber = 1,
    ReadProductName,
    ReadFirmwareVersion,
    ReadSdkVersion,
    ConnectNetwork,
    DisconnectTerminal,
    SetCommKey,
    ReadTimeZone,
    WriteTimeZone,
    ReadGroupText,
    WriteGroupNumber,
    RestartTerminal,
    ReadVendorName,
    ReadOption,
    WriteOption,
    WriteUnlockCombination,
    IsColorTerminal,
};
inline constexpr std::uint16_t kLastOp = static_cast<std::uint16_t>(Op::IsColorTerminal);

// "ReadSerialNumber" ... ; empty for an unknown op.
std::string_view opName(Op op);
// The op for a name, or Op::None.
Op opFromName(std::string_view name);

struct Bytes {
    std::vector<std::uint8_t> data;
    bool operator==(const Bytes&) const = default;
};
using Field = std::variant<std::int32_t, std::string, Bytes>;

struct Message {
    Kind kind = Kind::Request;
    Op op = Op::None;
    std::uint32_t requestId = 0;
    std::vector<Field> fields;
    bool operator==(const Message&) const = default;
};

// Encodes one whole frame, prefix included. Throws std::length_error when a
// bound would be broken (text or bytes over kMaxText, more than kMaxFields
// fields, frame over `maxFrame`; a frame that will be sealed leaves room for
// the seal). `version` other than ours only to answer a peer of that version.
std::vector<std::uint8_t> encode(
    const Message& message, std::size_t maxFrame = kMaxFrame, std::uint8_t version = kVersion);

enum class DecodeStatus {
    Ok, // `message` holds one frame; `consumed` bytes of input were used
    NeedMore, // the input holds only part of a frame so far
    Invalid, // the input breaks the protocol; `error` says how. Close the link.
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::NeedMore;
    Message message;
    std::size_t consumed = 0;
    std::string error;
    // The frame's version byte once it has arrived: a peer of another version
    // is told apart from one that sends garbage.
    std::optional<std::uint8_t> version;
};

// Decodes the first frame of `input`. Never reads past the input, never
// allocates more than the frame's bounded length; rejects wrong versions,
// unknown kinds or ops, lying lengths, trailing bytes inside a frame, and
// texts that are not valid UTF-8.
DecodeResult decode(std::span<const std::uint8_t> input);

// Builders and readers for the uniform request/response shape.
Message makeResponse(
    const Message& request, std::int32_t status, std::int32_t result, std::string out, std::string description);

struct ResponseFields {
    std::int32_t status = 0;
    std::int32_t result = 0;
    std::string out;
    std::string description;
};
// False when the message is not a well-formed Response.
bool readResponse(const Message& message, ResponseFields& fields);

} // namespace proto

#include "Protocol.h"

#include "WireSupport.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace proto {

namespace {

using detail::getU32;
using detail::invalid;

constexpr std::array<std::string_view, kLastOp + 1> kOpNames {
    "",
    "ReadSerialNumber",
    "ReadProductName",
    "ReadFirmwareVersion",
    "ReadSdkVersion",
    "ConnectNetwork",
    "DisconnectTerminal",
    "SetCommKey",
    "ReadTimeZone",
    "WriteTimeZone",
    "ReadGroupText",
    "WriteGroupNumber",
    "RestartTerminal",
    "ReadVendorName",
    "ReadOption",
    "WriteOption",
    "WriteUnlockCombination",
    "IsColorTerminal",
};

enum FieldType : std::uint8_t { kInt32 = 1, kText = 2, kBytes = 3 };

void putU16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void putU32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
    }
}

std::uint16_t getU16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void putBlob(std::vector<std::uint8_t>& out, FieldType type, const std::uint8_t* data, std::size_t size)
{
    if (size > kMaxText) {
        throw std::length_error("protocol: a text or bytes field is longer than 4 KiB");
    }
    out.push_back(type);
    putU16(out, static_cast<std::uint16_t>(size));
    out.insert(out.end(), data, data + size);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(const std::uint8_t* p, std::size_t size)
{
    std::size_t i = 0;
    while (i < size) {
        // Texts are mostly ASCII: skip it eight bytes at a time.
        if (size - i >= sizeof(std::uint64_t)) {
            std::uint64_t word = 0;
            std::memcpy(&word, p + i, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                i += sizeof word;
                continue;
            }
        }
        const std::uint8_t c = p[i];
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        std::uint32_t min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1Fu;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0Fu;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07u;
            min = 0x10000;
        } else {
            return false;
        }
        if (size - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const std::uint8_t cc = p[i + k];
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool isHandshake(Kind kind)
{
    return kind != Kind::Request && kind != Kind::Response;
}

} // namespace

std::string_view opName(Op op)
{
    const auto index = static_cast<std::uint16_t>(op);
    return index <= kLastOp ? kOpNames[index] : std::string_view {};
}

Op opFromName(std::string_view name)
{
    if (name.empty()) {
        return Op::None;
    }
    for (std::uint16_t i = 1; i <= kLastOp; ++i) {
        if (kOpNames[i] == name) {
            return static_cast<Op>(i);
        }
    }
    return Op::None;
}

std::vector<std::uint8_t> encode(const Message& message, std::size_t maxFrame, std::uint8_t version)
{
    if (message.fields.size() > kMaxFields) {
        throw std::length_error("protocol: more than 16 fields");
    }
    std::vector<std::uint8_t> out;
    out.reserve(kLengthPrefix + kHeaderSize + 16);
    putU32(out, 0); // patched below, once the length is known
    out.push_back(version);
    out.push_back(static_cast<std::uint8_t>(message.kind));
    putU16(out, static_cast<std::uint16_t>(message.op));
    putU32(out, message.requestId);
    out.push_back(static_cast<std::uint8_t>(message.fields.size()));
    for (const Field& field : message.fields) {
        if (const auto* i = std::get_if<std::int32_t>(&field)) {
            out.push_back(kInt32);
            putU32(out, static_cast<std::uint32_t>(*i));
        } else if (const auto* s = std::get_if<std::string>(&field)) {
            putBlob(out, kText, reinterpret_cast<const std::uint8_t*>(s->data()), s->size());
        } else {
            const auto& b = std::get<Bytes>(field).data;
            putBlob(out, kBytes, b.data(), b.size());
        }
    }
    if (out.size() > std::min(maxFrame, kMaxFrame)) {
        throw std::length_error("protocol: frame longer than 64 KiB");
    }
    detail::setU32(out.data(), static_cast<std::uint32_t>(out.size() - kLengthPrefix));
    return out;
}

DecodeResult decode(std::span<const std::uint8_t> input)
{
    const std::uint8_t* p = input.data();
    const std::size_t have = input.size();
    if (have < kLengthPrefix) {
        return {};
    }
    const std::uint32_t length = getU32(p);
    if (length < kHeaderSize) {
        return invalid("frame shorter than its header");
    }
    if (length > kMaxFrame - kLengthPrefix) {
        return invalid("frame longer than 64 KiB");
    }

    // The header is checked as soon as its bytes arrive, so garbage is refused
    // without waiting for a whole (possibly never-coming) frame.
    const std::uint8_t* h = p + kLengthPrefix;
    const std::size_t headerHave = have - kLengthPrefix;
    if (headerHave >= 1 && h[0] != kVersion) {
        DecodeResult r = invalid("unsupported protocol version " + std::to_string(h[0]));
        r.version = h[0];
        return r;
    }
    if (headerHave >= 2
        && (h[1] < static_cast<std::uint8_t>(Kind::Hello) || h[1] > static_cast<std::uint8_t>(Kind::Confirm))) {
        return invalid("unknown message kind " + std::to_string(h[1]));
    }
    if (headerHave >= 4) {
        const std::uint16_t op = getU16(h + 2);
        if (op > kLastOp) {
            return invalid("unknown operation " + std::to_string(op));
        }
        const bool handshake = isHandshake(static_cast<Kind>(h[1]));
        if (handshake && op != 0) {
            return invalid("a handshake message carries an operation");
        }
        if (!handshake && op == 0) {
            return invalid("a request or response without an operation");
        }
    }
    if (headerHave >= kHeaderSize && h[8] > kMaxFields) {
        return invalid("more than 16 fields");
    }
    if (headerHave < length) {
        return {};
    }

    DecodeResult r;
    r.version = h[0];
    Message& m = r.message;
    m.kind = static_cast<Kind>(h[1]);
    m.op = static_cast<Op>(getU16(h + 2));
    m.requestId = getU32(h + 4);
    const std::size_t fieldCount = h[8];
    m.fields.reserve(fieldCount);

    const std::uint8_t* cur = h + kHeaderSize;
    const std::uint8_t* const end = h + length;
    for (std::size_t n = 0; n < fieldCount; ++n) {
        if (cur == end) {
            return invalid("frame ends before its last field");
        }
        const std::uint8_t type = *cur++;
        const auto left = static_cast<std::size_t>(end - cur);
        if (type == kInt32) {
            if (left < 4) {
                return invalid("truncated int32 field");
            }
            m.fields.emplace_back(static_cast<std::int32_t>(getU32(cur)));
            cur += 4;
        } else if (type == kText || type == kBytes) {
            if (left < 2) {
                return invalid("truncated field length");
            }
            const std::size_t size = getU16(cur);
            cur += 2;
            if (size > kMaxText) {
                return invalid("text or bytes field longer than 4 KiB");
            }
            if (size > left - 2) {
                return invalid("field length runs past the end of the frame");
            }
            if (type == kText) {
                if (!validUtf8(cur, size)) {
                    return invalid("text field is not valid UTF-8");
                }
                m.fields.emplace_back(std::string(reinterpret_cast<const char*>(cur), size));
            } else {
                m.fields.emplace_back(Bytes { std::vector<std::uint8_t>(cur, cur + size) });
            }
            cur += size;
        } else {
            return invalid("unknown field type " + std::to_string(type));
        }
    }
    if (cur != end) {
        return invalid("trailing bytes after the last field");
    }
    r.status = DecodeStatus::Ok;
    r.consumed = kLengthPrefix + length;
    return r;
}

Message makeResponse(
    const Message& request, std::int32_t status, std::int32_t result, std::string out, std::string description)
{
    Message m;
    m.kind = Kind::Response;
    m.op = request.op;
    m.requestId = request.requestId;
    m.fields = { status, result, std::move(out), std::move(description) };
    return m;
}

bool readResponse(const Message& message, ResponseFields& fields)
{
    if (message.kind != Kind::Response || message.fields.size() != 4) {
        return false;
    }
    const auto* status = std::get_if<std::int32_t>(&message.fields[0]);
    const auto* result = std::get_if<std::int32_t>(&message.fields[1]);
    const auto* out = std::get_if<std::string>(&message.fields[2]);
    const auto* description = std::get_if<std::string>(&message.fields[3]);
    if (!status || !result || !out || !description) {
        return false;
    }
    fields = { *status, *result, *out, *description };
    return true;
}

} // namespace proto

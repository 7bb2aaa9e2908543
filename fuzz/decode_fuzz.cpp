// libFuzzer target: the frame decoder on arbitrary bytes. Whatever decodes
// must encode back to the very bytes it came from.
#include "Protocol.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> input(data, size);
    while (!input.empty()) {
        const proto::DecodeResult r = proto::decode(input);
        if (r.consumed > input.size()) {
            std::abort();
        }
        if (r.status != proto::DecodeStatus::Ok) {
            break;
        }
        const auto again = proto::encode(r.message);
        if (again.size() != r.consumed || std::memcmp(again.data(), input.data(), r.consumed) != 0) {
            std::abort();
        }
        input = input.subspan(r.consumed);
    }
    return 0;
}

// libFuzzer target: the simulator's request handling. The input is a stream
// of frames; each one that decodes goes to the handler, with fault rules on
// for inputs whose first byte is odd. Every save round-trips the state
// through its JSON form, which must give back the same state.
#include "FaultRules.h"
#include "Journal.h"
#include "Protocol.h"
#include "RequestHandler.h"
#include "TerminalState.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::vector<FaultRule> rules;
    if (data[0] & 1) {
        for (const char* rule : { "WriteOption:IsHolidayValid=false", "ReadOption:Slow=hang", "ReadTimeZone:48=drop",
                 "WriteGroupNumber=error:Busy" }) {
            rules.push_back(parseFaultRule(rule));
        }
    }
    TerminalState state;
    Journal journal(std::make_unique<std::ostringstream>());
    RequestHandler handler(
        state,
        [](const TerminalState& s) {
            if (stateFromJson(nlohmann::json::parse(toJson(s).dump())) != s) {
                std::abort();
            }
        },
        FaultRules(std::move(rules)), journal);

    std::span<const std::uint8_t> input(data + 1, size - 1);
    while (!input.empty()) {
        const proto::DecodeResult r = proto::decode(input);
        if (r.status != proto::DecodeStatus::Ok) {
            break;
        }
        input = input.subspan(r.consumed);
        const auto outcome = handler.handle(r.message, 1);
        if (outcome.action == RequestHandler::Outcome::Action::Respond) {
            proto::ResponseFields fields;
            // The answer must be a well-formed frame the control can read.
            const auto bytes = proto::encode(outcome.response);
            const auto back = proto::decode(bytes);
            if (back.status != proto::DecodeStatus::Ok || !proto::readResponse(back.message, fields)) {
                std::abort();
            }
        }
    }
    return 0;
}

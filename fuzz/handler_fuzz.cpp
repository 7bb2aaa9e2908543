// libFuzzer target: the simulator's request handling. The input is a stream
// of frames; each one that decodes goes to the handler. The first byte picks
// the setting: bit 0 fault rules, bits 1, 2 and 4 all set a journal (one
// input in eight), bits 3, 5 and 6 all set the read-back check (one in
// eight). After every request that changed it the state must be within the
// terminal's bounds and the answer a frame the control can read; with the
// check, the state after the input's last save, written as the state file
// is, must read back as the same state.
//
// Everything stays in memory: the save only serialises (as the state file
// does) and the journal is built but discarded. Building JSON text and
// parsing it back cost far more than the handler itself (every byte of a
// 4 KiB text passes through instrumented comparisons), so each is on for a
// share of the inputs only.
#include "FaultRules.h"
#include "Journal.h"
#include "Protocol.h"
#include "RequestHandler.h"
#include "TerminalState.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <ostream>
#include <streambuf>

namespace {

class Discard : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

FaultRules rulesFor(bool on)
{
    std::vector<FaultRule> rules;
    if (on) {
        for (const char* rule : { "WriteOption:IsHolidayValid=false", "ReadOption:Slow=hang", "ReadTimeZone:48=drop",
                 "WriteGroupNumber=error:Busy" }) {
            rules.push_back(parseFaultRule(rule));
        }
    }
    return FaultRules(std::move(rules));
}

bool withinBounds(const TerminalState& s)
{
    std::size_t bytes = 0;
    for (const auto& [name, value] : s.options) {
        if (name.size() > proto::kMaxText || value.size() > proto::kMaxText) {
            return false;
        }
        bytes += name.size() + value.size();
    }
    return bytes <= kMaxOptionBytes && s.options.size() <= kMaxOptions && s.timeZones.size() <= kMaxTimeZones
        && s.groupNumbers.size() <= kMaxGroups;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    static Discard discard;
    static Journal journal(std::make_unique<std::ostream>(&discard));
    static Journal none;
    static const FaultRules withRules = rulesFor(true);
    static const FaultRules withoutRules = rulesFor(false);
    static std::string saved;

    TerminalState state;
    bool anySave = false;
    RequestHandler handler(
        state, [&anySave](const TerminalState&) { anySave = true; }, (data[0] & 1) ? withRules : withoutRules,
        (data[0] & 0x16) == 0x16 ? journal : none);

    std::span<const std::uint8_t> input(data + 1, size - 1);
    while (!input.empty()) {
        const proto::DecodeResult r = proto::decode(input);
        if (r.status != proto::DecodeStatus::Ok) {
            break;
        }
        input = input.subspan(r.consumed);
        const auto outcome = handler.handle(r.message, 1);
        if (outcome.changed && !withinBounds(state)) {
            std::abort();
        }
        if (outcome.action == RequestHandler::Outcome::Action::Respond) {
            proto::ResponseFields fields;
            const auto bytes = proto::encode(outcome.response);
            const auto back = proto::decode(bytes);
            if (back.status != proto::DecodeStatus::Ok || !proto::readResponse(back.message, fields)) {
                std::abort();
            }
        }
    }
    // And a change the handler did not report must not have broken them either.
    if (!withinBounds(state)) {
        std::abort();
    }
    // Every change saves, so the state now is what the last save wrote.
    if ((data[0] & 0x68) == 0x68 && anySave) {
        appendStateJson(state, saved);
        if (stateFromJson(nlohmann::json::parse(saved)) != state) {
            std::abort();
        }
    }
    return 0;
}

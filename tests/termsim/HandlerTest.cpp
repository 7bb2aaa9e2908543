#include "FaultRules.h"
#include "ITermLink.h"
#include "Journal.h"
#include "RequestHandler.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

using proto::Field;
using proto::Op;

namespace {

class Handler : public ::testing::Test {
protected:
    TerminalState state;
    int saves = 0;
    bool failSaves = false;
    std::ostringstream* journalText = nullptr;
    Journal journal;
    std::unique_ptr<RequestHandler> handler;

    void SetUp() override { use({}); }

    void use(std::vector<std::string> rules)
    {
        std::vector<FaultRule> parsed;
        for (const auto& r : rules) {
            parsed.push_back(parseFaultRule(r));
        }
        auto stream = std::make_unique<std::ostringstream>();
        journalText = stream.get();
        journal = Journal(std::move(stream));
        handler = std::make_unique<RequestHandler>(
            state,
            [this](const TerminalState&) {
                if (failSaves) {
                    throw std::runtime_error("disk full");
                }
                ++saves;
            },
            FaultRules(std::move(parsed)), journal);
    }

    RequestHandler::Outcome run(Op op, std::vector<Field> fields)
    {
        return handler->handle({ proto::Kind::Request, op, 5, std::move(fields) });
    }

    proto::ResponseFields call(Op op, std::vector<Field> fields)
    {
        const auto outcome = run(op, std::move(fields));
        EXPECT_EQ(outcome.action, RequestHandler::Outcome::Action::Respond);
        EXPECT_EQ(outcome.response.requestId, 5u);
        proto::ResponseFields f;
        EXPECT_TRUE(proto::readResponse(outcome.response, f));
        return f;
    }

    std::vector<nlohmann::json> journalLines() const
    {
        std::vector<nlohmann::json> lines;
        std::istringstream in(journalText->str());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(nlohmann::json::parse(line));
        }
        return lines;
    }
};

constexpr std::int32_t kTrue = RequestHandler::kTrue;
const std::int32_t M = 1; // MachineNumber

} // namespace

TEST_F(Handler, ReadsAnswerFromTheState)
{
    state.colorTerminal = true;
    state.timeZones[50] = std::string(56, '0');
    struct Row {
        const char* name;
        Op op;
        std::vector<Field> fields;
        std::int32_t result;
        std::string out;
    };
    const std::vector<Row> rows {
        { "serial", Op::ReadSerialNumber, { M }, kTrue, state.serialNumber },
        { "product", Op::ReadProductName, { M }, kTrue, state.productName },
        { "firmware", Op::ReadFirmwareVersion, { M }, kTrue, state.firmwareVersion },
        { "vendor, no MachineNumber", Op::ReadVendorName, {}, kTrue, state.vendorName },
        { "colour", Op::IsColorTerminal, { M }, kTrue, "" },
        { "device name default", Op::ReadOption, { M, std::string("~DeviceName") }, kTrue, "K3X" },
        { "door options default", Op::ReadOption, { M, std::string("~DOTZ") }, kTrue, "0" },
        { "option never held", Op::ReadOption, { M, std::string("PermanentDoorColor") }, 0, "" },
        { "group 101 default", Op::ReadGroupText, { M, 101 }, kTrue, "::" },
        { "group never held", Op::ReadGroupText, { M, 103 }, 0, "" },
        { "time zone written", Op::ReadTimeZone, { M, 50 }, kTrue, std::string(56, '0') },
        { "time zone never written", Op::ReadTimeZone, { M, 49 }, 0, "" },
        { "another machine number", Op::ReadProductName, { 2 }, 0, "" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto f = call(row.op, row.fields);
        EXPECT_EQ(f.status, kSOk);
        EXPECT_EQ(f.result, row.result);
        EXPECT_EQ(f.out, row.out);
    }
    EXPECT_EQ(saves, 0);
}

TEST_F(Handler, WritesChangeTheStateAndAreSavedBeforeTheAnswer)
{
    EXPECT_EQ(call(Op::WriteOption, { M, std::string("~LockFunOn"), std::string("14") }).result, kTrue);
    EXPECT_EQ(state.options.at("~LockFunOn"), "14");
    EXPECT_EQ(call(Op::WriteTimeZone, { M, 49, std::string("0800") }).result, kTrue);
    EXPECT_EQ(state.timeZones.at(49), "0800");
    EXPECT_EQ(call(Op::WriteUnlockCombination, { M, 1, 1, 0, 0, 0, 7 }).result, kTrue);
    EXPECT_EQ(state.unlockCombination, (std::array<std::int32_t, 6> { 1, 1, 0, 0, 0, 7 }));
    EXPECT_EQ(saves, 3);

    // The same value again changes nothing, so nothing is rewritten.
    EXPECT_EQ(call(Op::WriteOption, { M, std::string("~LockFunOn"), std::string("14") }).result, kTrue);
    EXPECT_EQ(saves, 3);
    EXPECT_EQ(call(Op::ReadOption, { M, std::string("~LockFunOn") }).out, "14");
}

TEST_F(Handler, ZeroingAGroupClearsItsTimeZoneList)
{
    call(Op::WriteOption, { M, std::string("GTZ101"), std::string("50:49:48::") });
    call(Op::WriteOption, { M, std::string("GTZ102"), std::string("::::") });
    EXPECT_EQ(call(Op::WriteGroupNumber, { M, 101, 0 }).result, kTrue);
    EXPECT_EQ(call(Op::WriteGroupNumber, { M, 102, 0 }).result, kTrue);
    EXPECT_EQ(call(Op::ReadGroupText, { M, 101 }).out, "::");
    EXPECT_EQ(call(Op::ReadGroupText, { M, 102 }).out, "::");
    EXPECT_EQ(state.groupNumbers, (std::map<std::int32_t, std::int32_t> { { 101, 0 }, { 102, 0 } }));

    // Only zero clears the list.
    call(Op::WriteOption, { M, std::string("GTZ101"), std::string("50::::") });
    call(Op::WriteGroupNumber, { M, 101, 3 });
    EXPECT_EQ(call(Op::ReadGroupText, { M, 101 }).out, "50::::");
}

TEST_F(Handler, RestartIsAnsweredAndThenTakesEffect)
{
    const auto outcome = run(Op::RestartTerminal, { M });
    proto::ResponseFields f;
    ASSERT_TRUE(proto::readResponse(outcome.response, f));
    EXPECT_EQ(f.result, kTrue);
    EXPECT_TRUE(outcome.restart);
    EXPECT_FALSE(run(Op::RestartTerminal, { 2 }).restart);
}

TEST_F(Handler, MalformedAndControlLocalRequestsGetAFailureStatus)
{
    struct Row {
        const char* name;
        Op op;
        std::vector<Field> fields;
        HResult status;
    };
    const std::vector<Row> rows {
        { "too few fields", Op::WriteOption, { M, std::string("x") }, kEInvalidArg },
        { "too many fields", Op::IsColorTerminal, { M, M }, kEInvalidArg },
        { "text where int", Op::ReadTimeZone, { M, std::string("50") }, kEInvalidArg },
        { "int where text", Op::ReadOption, { M, 7 }, kEInvalidArg },
        { "bytes field", Op::ReadOption, { M, proto::Bytes { { 1 } } }, kEInvalidArg },
        { "MachineNumber as text", Op::ReadSerialNumber, { std::string("1") }, kEInvalidArg },
        { "vendor with a field", Op::ReadVendorName, { M }, kEInvalidArg },
        { "six-number combination", Op::WriteUnlockCombination, { M, 1, 1, 0, 0, 0 }, kEInvalidArg },
        { "SDK version", Op::ReadSdkVersion, {}, kENotImpl },
        { "connect", Op::ConnectNetwork, { std::string("127.0.0.1"), 4370 }, kENotImpl },
        { "disconnect", Op::DisconnectTerminal, {}, kENotImpl },
        { "key", Op::SetCommKey, { 0 }, kENotImpl },
    };
    const TerminalState before = state;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto f = call(row.op, row.fields);
        EXPECT_EQ(f.status, row.status);
        EXPECT_EQ(f.result, 0);
        EXPECT_FALSE(f.description.empty());
    }
    EXPECT_EQ(state, before);
    EXPECT_EQ(handler->handle({ proto::Kind::Hello, Op::None, 0, {} }).action, RequestHandler::Outcome::Action::Drop);
    EXPECT_EQ(handler->handle({ proto::Kind::Response, Op::WriteOption, 0, {} }).action,
        RequestHandler::Outcome::Action::Drop);
    EXPECT_EQ(call(Op::WriteOption, { M, std::string("x") }).description,
        "WriteOption expects int32 MachineNumber, text name, text value");
}

TEST_F(Handler, OnlyARequestThatChangesTheStateIsSaved)
{
    struct Row {
        const char* name;
        Op op;
        std::vector<Field> fields;
        bool changed;
    };
    // In order, each on the state the rows before it left.
    const std::vector<Row> rows {
        { "new option", Op::WriteOption, { M, std::string("DoorMode"), std::string("2") }, true },
        { "the same value again", Op::WriteOption, { M, std::string("DoorMode"), std::string("2") }, false },
        { "another value", Op::WriteOption, { M, std::string("DoorMode"), std::string("1") }, true },
        { "a default option's own value", Op::WriteOption, { M, std::string("GTZ101"), std::string("::") }, false },
        { "new time zone", Op::WriteTimeZone, { M, 50, std::string("0800") }, true },
        { "the same time zone", Op::WriteTimeZone, { M, 50, std::string("0800") }, false },
        { "an empty time zone where none was", Op::WriteTimeZone, { M, 49, std::string() }, true },
        { "a group's first number, its list already empty", Op::WriteGroupNumber, { M, 101, 0 }, true },
        { "the same number again", Op::WriteGroupNumber, { M, 101, 0 }, false },
        { "the group's list", Op::WriteOption, { M, std::string("GTZ101"), std::string("50::::") }, true },
        { "zero again, which clears the list", Op::WriteGroupNumber, { M, 101, 0 }, true },
        { "the combination it holds", Op::WriteUnlockCombination, { M, 0, 0, 0, 0, 0, 0 }, false },
        { "a new combination", Op::WriteUnlockCombination, { M, 1, 1, 0, 0, 0, 0 }, true },
        { "a read", Op::ReadOption, { M, std::string("DoorMode") }, false },
        { "a write to another machine number", Op::WriteOption, { 2, std::string("DoorMode"), std::string("3") },
            false },
        { "restart", Op::RestartTerminal, { M }, false },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int savesBefore = saves;
        const auto outcome = run(row.op, row.fields);
        EXPECT_EQ(outcome.changed, row.changed);
        EXPECT_EQ(saves - savesBefore, row.changed ? 1 : 0);
    }
    EXPECT_EQ(state.options.at("GTZ101"), "::");
    EXPECT_EQ(state.timeZones, (std::map<std::int32_t, std::string> { { 49, "" }, { 50, "0800" } }));
}

// The tables are bounded like a real terminal's: a write that would take one
// past its bound is answered false and stores nothing; replacing a held value
// still works.
TEST_F(Handler, AWritePastATableBoundIsRefusedAndNotStored)
{
    state.options.clear();
    for (std::size_t i = 0; i < kMaxOptions; ++i) {
        state.options["o" + std::to_string(i)] = "1";
    }
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(kMaxTimeZones); ++i) {
        state.timeZones[i] = "";
        state.groupNumbers[i] = 1;
    }
    const std::string big(4000, 'b');
    struct Row {
        const char* name;
        Op op;
        std::vector<Field> fields;
        bool stored;
    };
    const std::vector<Row> rows {
        { "a new option into a full table", Op::WriteOption, { M, std::string("New"), std::string("1") }, false },
        { "a held option's new value", Op::WriteOption, { M, std::string("o1"), big }, true },
        { "a new time zone", Op::WriteTimeZone, { M, 9999, std::string("0800") }, false },
        { "a held time zone", Op::WriteTimeZone, { M, 5, std::string("0800") }, true },
        { "a new group", Op::WriteGroupNumber, { M, 9999, 1 }, false },
        { "a held group set to 0, whose list is a new option", Op::WriteGroupNumber, { M, 7, 0 }, false },
        { "a held group", Op::WriteGroupNumber, { M, 7, 2 }, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TerminalState before = state;
        const auto f = call(row.op, row.fields);
        EXPECT_EQ(f.status, kSOk);
        EXPECT_EQ(f.result, row.stored ? kTrue : 0);
        EXPECT_EQ(state != before, row.stored);
    }
    // The total size counts as well: values that each fit but together do not.
    state.options.clear();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(call(Op::WriteOption, { M, "v" + std::to_string(i), big }).result, kTrue);
    }
    EXPECT_EQ(call(Op::WriteOption, { M, std::string("v9"), big }).result, 0);
    EXPECT_FALSE(state.options.contains("v9"));
    EXPECT_EQ(call(Op::WriteOption, { M, std::string("v9"), std::string(600, 's') }).result, kTrue);
}

TEST_F(Handler, AFailedSaveLeavesTheStateAsItWasAndSaysSo)
{
    state.options["GTZ102"] = "50::::";
    state.timeZones[50] = "0800";
    state.groupNumbers[101] = 3;
    struct Row {
        const char* name;
        Op op;
        std::vector<Field> fields;
    };
    const std::vector<Row> rows {
        { "new option", Op::WriteOption, { M, std::string("DoorMode"), std::string("2") } },
        { "option overwritten", Op::WriteOption, { M, std::string("GTZ101"), std::string("50::::") } },
        { "new time zone", Op::WriteTimeZone, { M, 49, std::string("0900") } },
        { "time zone overwritten", Op::WriteTimeZone, { M, 50, std::string("0900") } },
        { "new group number and its list", Op::WriteGroupNumber, { M, 102, 0 } },
        { "group number overwritten and its list", Op::WriteGroupNumber, { M, 101, 0 } },
        { "combination", Op::WriteUnlockCombination, { M, 1, 1, 0, 0, 0, 0 } },
    };
    failSaves = true;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TerminalState before = state;
        const auto outcome = run(row.op, row.fields);
        EXPECT_FALSE(outcome.changed);
        proto::ResponseFields f;
        ASSERT_TRUE(proto::readResponse(outcome.response, f));
        EXPECT_EQ(f.status, kEFail);
        EXPECT_NE(f.description.find("disk full"), std::string::npos);
        EXPECT_EQ(state, before);
    }
}

TEST_F(Handler, FaultRulesReplaceTheOperation)
{
    use({ "WriteOption:IsHolidayValid=false", "WriteOption:IsHolidayValid=drop", "ReadTimeZone:48=error:Bad zone",
        "ReadOption:Slow=hang", "ReadOption:Gone=drop", "IsColorTerminal=error:", "ReadVendorName=false",
        "WriteTimeZone:49=ignore" });

    auto f = call(Op::WriteOption, { M, std::string("IsHolidayValid"), std::string("0") });
    EXPECT_EQ(f.status, kSOk);
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(state.options.count("IsHolidayValid"), 0u); // a refused write stores nothing
    EXPECT_EQ(call(Op::WriteOption, { M, std::string("Other"), std::string("0") }).result, kTrue);

    f = call(Op::ReadTimeZone, { M, 48 });
    EXPECT_EQ(f.status, kEFail);
    EXPECT_EQ(f.description, "Bad zone");
    EXPECT_EQ(call(Op::ReadTimeZone, { M, 49 }).status, kSOk);
    EXPECT_EQ(call(Op::IsColorTerminal, { M }).description, "Simulated terminal failure");
    EXPECT_EQ(call(Op::ReadVendorName, {}).result, 0);

    EXPECT_EQ(run(Op::ReadOption, { M, std::string("Slow") }).action, RequestHandler::Outcome::Action::Hang);
    EXPECT_EQ(run(Op::ReadOption, { M, std::string("Gone") }).action, RequestHandler::Outcome::Action::Drop);

    // Accepted but lost: what a read-back must catch.
    EXPECT_EQ(call(Op::WriteTimeZone, { M, 49, std::string("0800") }).result, kTrue);
    EXPECT_EQ(state.timeZones.count(49), 0u);

    // Every request is journalled, faulted or not, with the fault named.
    const auto lines = journalLines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[8]["fault"], "ignore");
    EXPECT_EQ(lines[0]["fault"], "false");
    EXPECT_EQ(lines[0]["args"], nlohmann::json::parse(R"([1, "IsHolidayValid", "0"])"));
    EXPECT_FALSE(lines[1].contains("fault"));
    EXPECT_EQ(lines[6]["fault"], "hang");
    EXPECT_FALSE(lines[6].contains("result")); // never answered
    EXPECT_EQ(lines[7]["fault"], "drop");
}

TEST_F(Handler, JournalRecordsOperationArgumentsResultAndOut)
{
    call(Op::ReadOption, { M, std::string("~DeviceName") });
    call(Op::WriteGroupNumber, { M, 102, 0 });
    call(Op::ReadOption, { M, std::string("missing") });
    const auto lines = journalLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
        nlohmann::json::parse(R"({"op":"ReadOption","args":[1,"~DeviceName"],"result":true,"out":"K3X","status":0})"));
    EXPECT_EQ(
        lines[1], nlohmann::json::parse(R"({"op":"WriteGroupNumber","args":[1,102,0],"result":true,"status":0})"));
    EXPECT_EQ(lines[2]["out"], "");
    EXPECT_EQ(lines[2]["result"], false);
}

TEST(FaultRuleParsing, AcceptsEachActionAndRefusesNonsense)
{
    struct Good {
        const char* text;
        FaultRule rule;
    };
    const std::vector<Good> good {
        { "WriteOption:IsHolidayValid=false", { Op::WriteOption, "IsHolidayValid", FaultRule::Action::False, "", {} } },
        { "ReadTimeZone:50=hang", { Op::ReadTimeZone, "50", FaultRule::Action::Hang, "", {} } },
        { "RestartTerminal=drop", { Op::RestartTerminal, std::nullopt, FaultRule::Action::Drop, "", {} } },
        { "ReadOption=error:Oops: a=b", { Op::ReadOption, std::nullopt, FaultRule::Action::Error, "Oops: a=b", {} } },
        { "ReadOption:=false", { Op::ReadOption, "", FaultRule::Action::False, "", {} } },
        { "WriteTimeZone:49=ignore", { Op::WriteTimeZone, "49", FaultRule::Action::Ignore, "", {} } },
        { "127.0.1.2@WriteOption=drop", { Op::WriteOption, std::nullopt, FaultRule::Action::Drop, "", "127.0.1.2" } },
    };
    for (const auto& row : good) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parseFaultRule(row.text), row.rule);
    }
    for (const char* bad : { "WriteOption", "WriteOptions=false", "=false", "WriteOption=true", "WriteOption=Hang",
             "WriteOption:x=", "ReadOption=error:\xff", "door@WriteOption=false", "127.0.1@WriteOption=false",
             "@WriteOption=false" }) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(parseFaultRule(bad), std::invalid_argument);
    }
}

TEST(FaultRuleMatching, FirstMatchWinsAndArgumentsCompareAsText)
{
    const FaultRules rules({ parseFaultRule("WriteOption:GTZ101=drop"), parseFaultRule("WriteOption=false"),
        parseFaultRule("WriteOption:GTZ102=hang"), parseFaultRule("ReadGroupText:101=hang") });
    EXPECT_EQ(rules.match(Op::WriteOption, "GTZ101")->action, FaultRule::Action::Drop);
    EXPECT_EQ(rules.match(Op::WriteOption, "GTZ102")->action, FaultRule::Action::False);
    EXPECT_EQ(rules.match(Op::ReadGroupText, "101")->action, FaultRule::Action::Hang);
    EXPECT_EQ(rules.match(Op::ReadGroupText, "102"), nullptr);
    EXPECT_EQ(rules.match(Op::ReadGroupText, std::nullopt), nullptr);
    EXPECT_EQ(rules.match(Op::ReadOption, "GTZ101"), nullptr);
}

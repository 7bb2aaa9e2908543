#include "TCTermLink.h"

#include "RecordingTermLink.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// The wrapper over a scripted control that the test keeps a hand on.
struct Wrapped {
    Wrapped()
    {
        auto object = std::make_unique<RecordingTermLink>();
        control = object.get();
        link = std::make_unique<TCTermLink>(std::move(object));
    }
    RecordingTermLink* control;
    std::unique_ptr<TCTermLink> link;
};

std::string errorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no error>";
}

struct Operation {
    const char* name;
    std::function<void(TCTermLink&, std::u16string&)> call;
    const char* record;
    bool hasOut;
};

const std::vector<Operation>& operations()
{
    static const std::vector<Operation> ops {
        { "ReadSerialNumber", [](TCTermLink& l, std::u16string& o) { l.ReadSerialNumber(1, o); }, "ReadSerialNumber(1)",
            true },
        { "ReadProductName", [](TCTermLink& l, std::u16string& o) { l.ReadProductName(1, o); }, "ReadProductName(1)",
            true },
        { "ReadFirmwareVersion", [](TCTermLink& l, std::u16string& o) { l.ReadFirmwareVersion(1, o); },
            "ReadFirmwareVersion(1)", true },
        { "ReadSdkVersion", [](TCTermLink& l, std::u16string& o) { l.ReadSdkVersion(o); }, "ReadSdkVersion()", true },
        { "ConnectNetwork", [](TCTermLink& l, std::u16string&) { l.ConnectNetwork(u"127.0.0.1", 4370); },
            "ConnectNetwork(127.0.0.1, 4370)", false },
        { "DisconnectTerminal", [](TCTermLink& l, std::u16string&) { l.DisconnectTerminal(); }, "DisconnectTerminal()",
            false },
        { "SetCommKey", [](TCTermLink& l, std::u16string&) { l.SetCommKey(-12345); }, "SetCommKey(-12345)", false },
        { "ReadTimeZone", [](TCTermLink& l, std::u16string& o) { l.ReadTimeZone(1, 48, o); }, "ReadTimeZone(1, 48)",
            true },
        { "WriteTimeZone", [](TCTermLink& l, std::u16string&) { l.WriteTimeZone(1, 47, u"0000 2359"); },
            "WriteTimeZone(1, 47, 0000 2359)", false },
        { "ReadGroupText", [](TCTermLink& l, std::u16string& o) { l.ReadGroupText(1, 102, o); },
            "ReadGroupText(1, 102)", true },
        { "WriteGroupNumber", [](TCTermLink& l, std::u16string&) { l.WriteGroupNumber(1, 101, 0); },
            "WriteGroupNumber(1, 101, 0)", false },
        { "RestartTerminal", [](TCTermLink& l, std::u16string&) { l.RestartTerminal(1); }, "RestartTerminal(1)",
            false },
        { "ReadVendorName", [](TCTermLink& l, std::u16string& o) { l.ReadVendorName(o); }, "ReadVendorName()", true },
        { "ReadOption", [](TCTermLink& l, std::u16string& o) { l.ReadOption(1, u"~DeviceName", o); },
            "ReadOption(1, ~DeviceName)", true },
        { "WriteOption", [](TCTermLink& l, std::u16string&) { l.WriteOption(1, u"~LockFunOn", u"15"); },
            "WriteOption(1, ~LockFunOn, 15)", false },
        { "WriteUnlockCombination",
            [](TCTermLink& l, std::u16string&) { l.WriteUnlockCombination(1, 2, 3, 4, 5, 6, 7); },
            "WriteUnlockCombination(1, 2, 3, 4, 5, 6, 7)", false },
        { "IsColorTerminal", [](TCTermLink& l, std::u16string&) { l.IsColorTerminal(1); }, "IsColorTerminal(1)",
            false },
    };
    return ops;
}

} // namespace

TEST(TermLinkErrorText, DescriptionThenSystemTextThenCode)
{
    struct Row {
        const char* name;
        HResult status;
        std::u16string description;
        std::string expected;
    };
    const Row rows[] = {
        { "own text, trailing full stop", kEFail, u"Terminal did not answer.", "Terminal did not answer" },
        { "own text, blanks and stops mixed", kEFail, u"Timed out . .  ", "Timed out" },
        { "own text, inner stops kept", kEFail, u"Firmware 6.2.1 refused it...", "Firmware 6.2.1 refused it" },
        { "own text wins over the system's", kEInvalidArg, u"Bad index", "Bad index" },
        { "own text, not ASCII", kEFail, u"Zeit\u00fcberschreitung.",
            "Zeit\xc3\xbc"
            "berschreitung" },
        { "system text", kEInvalidArg, u"", "The parameter is incorrect" },
        { "system text, access", kEAccessDenied, u"", "Access is denied" },
        { "own text only blanks and stops", kEAccessDenied, u" . ", "Access is denied" },
        { "no text at all", kEFail, u"", "OLE error 80004005" },
        { "no text, blank description", kEFail, u"   ", "OLE error 80004005" },
        { "unknown status", static_cast<HResult>(0x80040201u), u"", "OLE error 80040201" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(termLinkErrorText(row.status, row.description), row.expected);
    }
}

TEST(TCTermLink, PassesEveryOperationsArgumentsInOrder)
{
    Wrapped w;
    for (const Operation& op : operations()) {
        SCOPED_TRACE(op.name);
        std::u16string out;
        op.call(*w.link, out);
        ASSERT_FALSE(w.control->calls().empty());
        EXPECT_EQ(w.control->calls().back(), op.record);
    }
    EXPECT_EQ(w.control->calls().size(), operations().size());
}

TEST(TCTermLink, FailureStatusRaisesTheErrorTextAndLeavesOutTextsEmpty)
{
    Wrapped w;
    for (const Operation& op : operations()) {
        SCOPED_TRACE(op.name);
        w.control->once(op.name, RecordingTermLink::Answer::error(kEFail, u"Link lost. "));
        std::u16string out = u"left over from before";
        EXPECT_EQ(errorOf([&] { op.call(*w.link, out); }), "Link lost");
        if (op.hasOut) {
            EXPECT_EQ(out, u"") << "out text not cleared before the call";
        }
    }
}

TEST(TCTermLink, ErrorTextCasesThroughACall)
{
    struct Row {
        const char* name;
        RecordingTermLink::Answer answer;
        std::string expected;
    };
    const Row rows[] = {
        { "own description", RecordingTermLink::Answer::error(kEFail, u"No such option.  "), "No such option" },
        { "system text", RecordingTermLink::Answer::error(kEInvalidArg), "The parameter is incorrect" },
        { "code", RecordingTermLink::Answer::error(kEFail), "OLE error 80004005" },
    };
    Wrapped w;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        w.control->once("ReadOption", row.answer);
        std::u16string value;
        EXPECT_EQ(errorOf([&] { w.link->ReadOption(1, u"~DCTZ", value); }), row.expected);
    }
    // A failure does not spoil the next call.
    w.control->on("ReadOption", RecordingTermLink::Answer::value(true, u"50"));
    std::u16string value = u"stale";
    EXPECT_TRUE(w.link->ReadOption(1, u"~DCTZ", value));
    EXPECT_EQ(value, u"50");
}

TEST(TCTermLink, OutTextsStartEmptyOnAFalseResult)
{
    // A control that fills nothing must leave an empty text, not the caller's
    // previous one.
    class AppendingLink : public RecordingTermLink {
    public:
        CallResult ReadGroupText(std::int32_t, std::int32_t, std::u16string& text) override
        {
            text += u"::";
            return CallResult::ok(false);
        }
    };
    auto object = std::make_unique<AppendingLink>();
    TCTermLink link(std::move(object));
    std::u16string text = u"50:49:::";
    EXPECT_FALSE(link.ReadGroupText(1, 101, text));
    EXPECT_EQ(text, u"::");
    EXPECT_FALSE(link.ReadGroupText(1, 101, text));
    EXPECT_EQ(text, u"::");
}

TEST(TCTermLink, BindsAtTheFirstOperationOnlyOnce)
{
    Wrapped w;
    EXPECT_FALSE(w.link->isBound());
    EXPECT_EQ(w.control->bindCount(), 0);
    std::u16string out;
    for (const Operation& op : operations())
        op.call(*w.link, out);
    EXPECT_TRUE(w.link->isBound());
    EXPECT_EQ(w.control->bindCount(), 1);

    // A failed call keeps the binding too.
    w.control->once("SetCommKey", RecordingTermLink::Answer::error(kEFail));
    EXPECT_THROW(w.link->SetCommKey(0), std::runtime_error);
    w.link->SetCommKey(0);
    EXPECT_EQ(w.control->bindCount(), 1);
}

TEST(TCTermLink, BindingFailureRaisesAndCallsNothing)
{
    struct Row {
        HResult status;
        std::string expected;
    };
    const Row rows[] = {
        { kEAccessDenied, "Access is denied" },
        { kENotImpl, "Not implemented" },
        { kEFail, "OLE error 80004005" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        Wrapped w;
        w.control->failBinding(row.status);
        std::u16string version = u"stale";
        EXPECT_EQ(errorOf([&] { w.link->ReadSdkVersion(version); }), row.expected);
        EXPECT_FALSE(w.link->isBound());
        EXPECT_TRUE(w.control->calls().empty());
        EXPECT_EQ(version, u"");
    }
}

TEST(TCTermLink, RefusesAMissingObject)
{
    EXPECT_THROW(TCTermLink(std::unique_ptr<ITermLinkObject>()), std::runtime_error);
}

// Every non-negative status is success; a connect answered false keeps the
// cause its status names and the control's sentence.
TEST(TCTermLink, ResultsUseAllSixteenBitsAndAFalseConnectKeepsItsCause)
{
    class RawLink : public RecordingTermLink {
    public:
        CallResult IsColorTerminal(std::int32_t) override { return { status, raw, text }; }
        CallResult ConnectNetwork(const std::u16string&, std::int32_t) override { return { status, raw, text }; }
        HResult status = kSOk;
        std::int16_t raw = 0;
        std::u16string text = u"Too many wrong keys; try again in 30 seconds";
    };
    struct Row {
        const char* name;
        HResult status;
        std::int16_t raw;
        bool expected;
        ConnectFailure cause;
    };
    const Row rows[] = {
        { "zero", kSOk, 0, false, ConnectFailure::Unknown },
        { "one", kSOk, 1, true, ConnectFailure::None },
        { "VARIANT_TRUE", kSOk, -1, true, ConnectFailure::None },
        { "high byte only", kSOk, 0x0100, true, ConnectFailure::None },
        { "sign bit only", kSOk, static_cast<std::int16_t>(0x8000), true, ConnectFailure::None },
        { "S_FALSE status is success", 1, 0x0200, true, ConnectFailure::None },
        { "S_FALSE, false: no cause of ours", 1, 0, false, ConnectFailure::Unknown },
        { "locked out", connectFailureStatus(ConnectFailure::LockedOut), 0, false, ConnectFailure::LockedOut },
        { "wrong key", connectFailureStatus(ConnectFailure::WrongKey), 0, false, ConnectFailure::WrongKey },
        { "the last cause", connectFailureStatus(ConnectFailure::Unknown), 0, false, ConnectFailure::Unknown },
        { "past the last cause", connectFailureStatus(ConnectFailure::Unknown) + 1, 0, false, ConnectFailure::Unknown },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto object = std::make_unique<RawLink>();
        RawLink* raw = object.get();
        TCTermLink link(std::move(object));
        raw->status = row.status;
        raw->raw = row.raw;
        EXPECT_EQ(link.IsColorTerminal(1), row.expected);
        EXPECT_EQ(link.ConnectNetwork(u"127.0.0.1", 4370), row.expected);
        EXPECT_EQ(link.lastConnectFailure().cause, row.cause);
        EXPECT_EQ(link.lastConnectFailure().text, row.expected ? "" : "Too many wrong keys; try again in 30 seconds");

        // A connect that raises leaves no cause behind from the one before.
        raw->status = kEFail;
        EXPECT_THROW(link.ConnectNetwork(u"127.0.0.1", 4370), std::runtime_error);
        EXPECT_EQ(link.lastConnectFailure().cause, ConnectFailure::None);
    }
}

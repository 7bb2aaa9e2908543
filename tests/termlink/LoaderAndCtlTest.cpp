// The control as the window loads it (dlopen through the loader), and termctl
// as a script runs it.
#include "LatchwiseVersion.h"
#include "NetworkTermLink.h"
#include "RunProcess.h"
#include "SimOptions.h"
#include "TCTermLink.h"
#include "TermLinkLoader.h"
#include "TerminalConstants.h"
#include "TermsimProcess.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;

TEST(LinkLibrary, LoadsThroughTheLoaderAndReportsCausesAndErrorsThroughTheWrapper)
{
    TermsimProcess sim(simAt("127.0.2.9", 55, { "ReadOption:Gone=drop" }));
    ASSERT_TRUE(sim.started()) << sim.output();

    TCTermLink wrapper(createTermLinkFromLibrary(TERMLINK_LIBRARY_PATH));
    std::u16string text;
    EXPECT_TRUE(wrapper.ReadSdkVersion(text));
    EXPECT_EQ(text, termlink::kVersionText);

    // A refused connect is false, not an error, and its cause crosses the library boundary.
    EXPECT_TRUE(wrapper.SetCommKey(56));
    EXPECT_FALSE(wrapper.ConnectNetwork(u"127.0.2.9", kTerminalPort));
    EXPECT_EQ(wrapper.lastConnectFailure().cause, ConnectFailure::WrongKey);
    EXPECT_EQ(wrapper.lastConnectFailure().text, "Wrong communication key");

    EXPECT_TRUE(wrapper.SetCommKey(55));
    ASSERT_TRUE(wrapper.ConnectNetwork(u"127.0.2.9", kTerminalPort));
    EXPECT_EQ(wrapper.lastConnectFailure().cause, ConnectFailure::None);
    EXPECT_TRUE(wrapper.ReadOption(1, u"~DeviceName", text));
    EXPECT_EQ(text, u"K3X");

    try {
        wrapper.ReadOption(1, u"Gone", text);
        ADD_FAILURE() << "a dropped connection must raise";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "The connection to the terminal was lost");
    }
    EXPECT_FALSE(wrapper.IsColorTerminal(1));
}

TEST(TermCtl, ExitStatusAndOutputPerOutcome)
{
    TermsimProcess sim(simAt("127.0.2.10", 77, { "ReadOption:Broken=error:Option store unavailable." }));
    ASSERT_TRUE(sim.started()) << sim.output();

    struct Row {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        std::string out; // exact, unless `outHas` is set
        std::string outHas; // a part that stdout must contain
        std::string errHas; // a part that stderr must contain
    };
    const std::vector<std::string> at { "--key", "77", "127.0.2.10" };
    auto with = [&](std::vector<std::string> rest) {
        std::vector<std::string> args = at;
        args.insert(args.end(), rest.begin(), rest.end());
        return args;
    };
    const std::vector<Row> rows {
        { "help", { "--help" }, 0, "", "  WriteUnlockCombination C1 C2 C3 C4 C5 C6\n", "" },
        { "version", { "--version" }, 0, "termctl " + std::string(kLatchwiseVersion) + "\n", "", "" },
        { "read a held option", with({ "ReadOption", "~DeviceName" }), 0, "true\nK3X\n", "", "" },
        { "read a missing option", with({ "ReadOption", "Nope" }), 1, "false\n\n", "", "" },
        { "write an option", with({ "WriteOption", "Door", "open" }), 0, "true\n", "", "" },
        { "read it back", with({ "ReadOption", "Door" }), 0, "true\nopen\n", "", "" },
        { "write a time zone", with({ "WriteTimeZone", "48", std::string(56, '0') }), 0, "true\n", "", "" },
        { "unlock combination", with({ "WriteUnlockCombination", "1", "1", "0", "0", "0", "0" }), 0, "true\n", "", "" },
        { "colour terminal", with({ "IsColorTerminal" }), 1, "false\n", "", "" },
        { "the control's version", with({ "ReadSdkVersion" }), 0,
            "true\nLatchwise termlink " + std::string(kLatchwiseVersion) + "\n", "", "" },
        { "connect only", with({ "ConnectNetwork" }), 0, "true\n", "", "" },
        { "terminal failure", with({ "ReadOption", "Broken" }), 2, "", "", "Option store unavailable\n" },
        { "wrong key", { "--key", "78", "127.0.2.10", "IsColorTerminal" }, 1, "", "",
            "Unable to connect to 127.0.2.10: Wrong communication key\n" },
        { "nothing listening", { "127.0.2.99", "IsColorTerminal" }, 1, "", "",
            "Unable to connect to 127.0.2.99: The terminal could not be reached (" },
        { "no arguments", {}, 2, "", "", "an address and an operation are needed" },
        { "unknown operation", with({ "Frobnicate" }), 2, "", "", "unknown operation 'Frobnicate'" },
        { "missing argument", with({ "ReadOption" }), 2, "", "", "ReadOption takes 1 argument(s): NAME" },
        { "extra argument", with({ "IsColorTerminal", "1" }), 2, "", "", "takes 0 argument(s)" },
        { "number expected", with({ "ReadTimeZone", "fifty" }), 2, "", "", "'fifty' is not a 32-bit integer" },
        { "number too large", with({ "ReadTimeZone", "2147483648" }), 2, "", "", "is not a 32-bit integer" },
        { "host name", { "localhost", "IsColorTerminal" }, 2, "", "", "not a dotted IPv4 address" },
        { "bad key", { "--key", "12x", "127.0.2.10", "IsColorTerminal" }, 2, "", "", "the key '12x'" },
        { "key without a value", { "--key" }, 2, "", "", "--key needs a number" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> argv { TERMCTL_PATH };
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        const ProcessResult result = runProcess(argv, 20s);
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
        if (!row.outHas.empty()) {
            EXPECT_NE(result.out.find(row.outHas), std::string::npos) << result.out;
        } else {
            EXPECT_EQ(result.out, row.out);
        }
        if (!row.errHas.empty()) {
            EXPECT_NE(result.err.find(row.errHas), std::string::npos) << result.err;
        } else {
            EXPECT_EQ(result.err, "");
        }
    }
}

TEST(TermCtl, HelpListsEveryOperation)
{
    const ProcessResult result = runProcess({ TERMCTL_PATH, "--help" }, 20s);
    ASSERT_EQ(result.exitCode, 0);
    for (const char* op : { "ReadSerialNumber", "ReadProductName", "ReadFirmwareVersion", "ReadSdkVersion",
             "ConnectNetwork", "DisconnectTerminal", "SetCommKey", "ReadTimeZone", "WriteTimeZone", "ReadGroupText",
             "WriteGroupNumber", "RestartTerminal", "ReadVendorName", "ReadOption", "WriteOption",
             "WriteUnlockCombination", "IsColorTerminal" }) {
        SCOPED_TRACE(op);
        EXPECT_NE(result.out.find(std::string("\n  ") + op), std::string::npos);
    }
}

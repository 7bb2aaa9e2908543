// A terminal programmed by latchwise-fleet receives exactly the calls, in the
// same order, as one programmed from the window with the same schedule.
#include "ChildProcess.h"
#include "EndToEndFixture.h"

#include <chrono>
#include <filesystem>

namespace {

struct Case {
    const char* name;
    bool colour; // the door-option method
    bool enable;
    bool forceOpen;
    const char* windowAddress;
    const char* fleetAddress;
};

const Case kCases[] {
    { "GroupForceOpen", false, true, true, "127.0.30.1", "127.0.30.2" },
    { "GroupForceClose", false, true, false, "127.0.30.3", "127.0.30.4" },
    { "GroupDisable", false, false, true, "127.0.30.5", "127.0.30.6" },
    { "DoorForceOpen", true, true, true, "127.0.30.7", "127.0.30.8" },
    { "DoorForceClose", true, true, false, "127.0.30.9", "127.0.30.10" },
    { "DoorDisable", true, false, true, "127.0.30.11", "127.0.30.12" },
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

nlohmann::json week(const char* start, const char* end)
{
    nlohmann::json days = nlohmann::json::object();
    for (const auto day : schedule::kDayNames) {
        std::string key(day);
        key[0] = static_cast<char>(key[0] - 'A' + 'a');
        days[key] = { start, end };
    }
    return days;
}

} // namespace

class FleetJournal : public EndToEndTest, public ::testing::WithParamInterface<Case> { };

TEST_P(FleetJournal, EqualsTheWindowsForTheSameSchedule)
{
    const Case& c = GetParam();
    const nlohmann::json state = c.colour ? nlohmann::json { { "colorTerminal", true },
        { "options",
            { { "~DeviceName", "TR-400" }, { "PermanentDoorColor", "0" }, { "GTZ101", "::" }, { "GTZ102", "::" },
                { "~DCTZ", "0" }, { "~DOTZ", "0" } } } }
                                          : nlohmann::json::object();
    // The colour terminal's boxes are disabled: only zone 1 there.
    const bool zone2 = !c.colour;

    ASSERT_NO_FATAL_FAILURE(startTerminal(c.windowAddress, std::nullopt, {}, state));
    ASSERT_NO_FATAL_FAILURE(createWindow());
    press();
    ASSERT_EQ(stage(), 1) << boxes.texts().join(QLatin1Char('|')).toStdString();
    radio(c.enable ? "rbtnEnable" : "rbtnDisable")->setChecked(true);
    radio(c.forceOpen ? "rbtnOpen" : "rbtnClose")->setChecked(true);
    setZone(1, "0600", "2200");
    if (zone2) {
        box(2)->setChecked(true);
        setZone(2, "0700", "0800");
    }
    press();
    ASSERT_EQ(stage(), 2) << boxes.texts().join(QLatin1Char('|')).toStdString();
    const Calls window = sim->operations();
    ASSERT_FALSE(window.empty());
    ASSERT_EQ(window.back(), "WriteOption(1, IsHolidayValid, 0)");

    TermsimProcess::Options options;
    options.address = c.fleetAddress;
    options.count = 1;
    options.stateDir = path("fleet-states");
    options.journalFile = path("fleet-journal.jsonl");
    std::filesystem::create_directories(options.stateDir);
    std::ofstream(options.stateDir + "/" + c.fleetAddress + ".json") << state.dump();
    TermsimProcess fleetSim(options);
    ASSERT_TRUE(fleetSim.started()) << fleetSim.output();

    nlohmann::json zones { { "1", week("0600", "2200") } };
    if (zone2)
        zones["2"] = week("0700", "0800");
    std::ofstream(path("schedule.json")) << nlohmann::json { { "zones", zones } }.dump();
    std::ofstream(path("site.csv")) << "name,address,key\ndoor," << c.fleetAddress << ",\n";
    std::vector<std::string> args { FLEET_PATH, "program", "--site", path("site.csv"), "--schedule",
        path("schedule.json") };
    if (!c.enable)
        args.push_back("--disable");
    if (!c.forceOpen)
        args.push_back("--force-close");
    ChildProcess fleet(args);
    ASSERT_EQ(fleet.wait(std::chrono::seconds(30)), 0) << fleet.out() << fleet.err();

    EXPECT_EQ(fleetSim.operations(), window);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, FleetJournal, ::testing::ValuesIn(kCases), [](const auto& info) { return std::string(info.param.name); });

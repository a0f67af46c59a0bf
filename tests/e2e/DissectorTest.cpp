// The Wireshark dissector against a real capture: every message type in
// both directions, decoded by tshark, must show the values that were sent.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "e2e/Harness.h"

namespace velmir::e2e {
namespace {

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// First decoded row of the given message type: field name -> text.
std::map<std::string, std::string> Decode(const std::string& capture, int type,
                                          const std::vector<std::string>& fields,
                                          const std::string& extraFilter = "") {
    std::string command = "tshark -r " + capture +
                          " -X lua_script:" VELMIR_SOURCE_DIR
                          "/tools/wireshark/velmir.lua -Y 'velmir.type == " +
                          std::to_string(type) + extraFilter + "' -T fields -E separator=/t";
    for (const auto& f : fields) command += " -e " + f;
    command += " 2>/dev/null | head -n 1";
    std::istringstream row(Shell(command));
    std::map<std::string, std::string> out;
    std::string line;
    std::getline(row, line);
    std::istringstream cells(line);
    for (const auto& f : fields) {
        std::string cell;
        std::getline(cells, cell, '\t');
        out[f] = cell;
    }
    return out;
}

double Number(const std::string& text) { return text.empty() ? -1e300 : std::stod(text); }

class Dissector : public PluginTest {
  protected:
    void Configure() override {
        host::AircraftConfig twin;
        twin.engines = host::Engines::TwinTurboprop;
        host::ConfigureAircraft(twin);
        host::SetXPlaneVersion(12100);
    }
};

TEST_F(Dissector, DecodesEveryMessageTypeInBothDirections) {
    if (Shell("command -v tshark").empty()) GTEST_SKIP() << "tshark is not installed";
    char dir[] = "/tmp/velmir-capture-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string capture = std::string(dir) + "/link.pcapng";

    const pid_t tshark = fork();
    if (tshark == 0) {
        execlp("tshark", "tshark", "-q", "-i", "lo", "-f", "udp port 7472", "-w", capture.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the capture file exists: tshark is listening.
    for (int i = 0; i < 200 && access(capture.c_str(), F_OK) != 0; ++i) usleep(20000);
    usleep(300000);

    ConnectClient(0x2A);
    client::InfoReport labels;
    labels.LabelFlags = 31;
    labels.LabelColourArgb = 0x00FF8000;
    client::ModelReport model;
    model.AircraftIndex = 5;
    model.TailNumber = "N123";
    model.ModelName = "Test/Model";
    client::PositionReport position;
    position.AircraftIndex = 5;
    position.Time = 12.5;
    position.Latitude = 47.01;
    position.Longitude = 8.02;
    position.Altitude = 1000.0;
    position.YokePitch = 8192;
    client::PlacementCommand placement;
    placement.AircraftIndex = 6;
    placement.Latitude = 46.5;
    client::MotionCommand motion;
    motion.AircraftIndex = 7;
    motion.VelocityX = 12.5f;
    client::AircraftStateReport state;
    state.Barometer = 16211;
    client::PistonEngineReport piston;
    piston.EngineNumber = 2;
    piston.EngineRpm = 1;
    client::FuelReport fuel;
    fuel.TankMass = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    client::VariableCommand variable;
    variable.VariableId = 101;
    variable.VariableValue = 16211;
    client::RemoveAircraftCommand remove;
    remove.AircraftIndex = 5;
    ASSERT_TRUE(client.Send(labels));
    ASSERT_TRUE(client.Send(model));
    ASSERT_TRUE(client.Send(position));
    ASSERT_TRUE(client.Send(placement));
    ASSERT_TRUE(client.Send(motion));
    ASSERT_TRUE(client.Send(state));
    ASSERT_TRUE(client.Send(piston));
    ASSERT_TRUE(client.Send(fuel));
    ASSERT_TRUE(client.Send(variable));
    ASSERT_TRUE(client.Send(remove));
    Pump(6.0);  // shared control lapses, then every report flows
    ASSERT_TRUE(client.Disconnect());
    Pump(0.3);
    usleep(500000);
    kill(tshark, SIGINT);
    int status = 0;
    waitpid(tshark, &status, 0);

    // What the plugin sent, as the client's own decoder reads it.
    client::PositionReport sentPosition;
    client::AircraftStateReport sentState;
    client::TurbineEngineReport sentTurbine;
    bool haveTurbine = false;
    client::ModelReport sentModel;
    for (const auto& r : received) {
        if (!r.Result.Ok()) continue;
        if (auto* p = std::get_if<client::PositionReport>(&r.Result.Value)) sentPosition = *p;
        if (auto* s = std::get_if<client::AircraftStateReport>(&r.Result.Value)) sentState = *s;
        if (auto* t = std::get_if<client::TurbineEngineReport>(&r.Result.Value))
            if (t->EngineNumber == 2 && !haveTurbine) {
                sentTurbine = *t;  // tshark reports the first one too
                haveTurbine = true;
            }
        if (auto* m = std::get_if<client::ModelReport>(&r.Result.Value)) sentModel = *m;
    }
    ASSERT_NE(sentPosition.Time, 0.0);
    ASSERT_TRUE(haveTurbine);

    const std::string toPlugin = " && udp.dstport == 7472";
    const std::string fromPlugin = " && udp.srcport == 7472";

    auto row = Decode(capture, 0, {"velmir.link_tag", "velmir.data_version"}, toPlugin);
    EXPECT_EQ(row["velmir.link_tag"], "0x2a0b");
    EXPECT_EQ(row["velmir.data_version"], "21007");
    EXPECT_FALSE(Decode(capture, 1, {"velmir.type"}, fromPlugin)["velmir.type"].empty());

    row = Decode(capture, 2, {"velmir.info.labelFlags", "velmir.info.labelColourArgb"}, toPlugin);
    EXPECT_EQ(row["velmir.info.labelFlags"], "31");
    EXPECT_EQ(row["velmir.info.labelColourArgb"], "0x00ff8000");
    EXPECT_EQ(Decode(capture, 2, {"velmir.info.simVersion"}, fromPlugin)["velmir.info.simVersion"],
              "12100");

    row =
        Decode(capture, 3,
               {"velmir.model.aircraftIndex", "velmir.model.tailNumber", "velmir.model.modelName"},
               toPlugin);
    EXPECT_EQ(row["velmir.model.aircraftIndex"], "5");
    EXPECT_EQ(row["velmir.model.tailNumber"], "N123");
    EXPECT_EQ(row["velmir.model.modelName"], "Test/Model");
    row = Decode(capture, 3, {"velmir.model.tailNumber", "velmir.model.modelName"}, fromPlugin);
    EXPECT_EQ(row["velmir.model.tailNumber"], sentModel.TailNumber);
    EXPECT_EQ(row["velmir.model.modelName"], sentModel.ModelName);

    row = Decode(capture, 4,
                 {"velmir.position.latitude", "velmir.position.altitude_feet",
                  "velmir.position.yokePitch_ratio"},
                 toPlugin);
    EXPECT_NEAR(Number(row["velmir.position.latitude"]), 47.01, 1e-9);
    EXPECT_NEAR(Number(row["velmir.position.altitude_feet"]), 3280.84, 0.01);
    EXPECT_NEAR(Number(row["velmir.position.yokePitch_ratio"]), 0.5, 1e-9);
    row = Decode(capture, 4, {"velmir.position.latitude", "velmir.position.heading"}, fromPlugin);
    EXPECT_NEAR(Number(row["velmir.position.latitude"]), 47.0, 0.1);

    EXPECT_NEAR(
        Number(Decode(capture, 5, {"velmir.placement.latitude"})["velmir.placement.latitude"]),
        46.5, 1e-9);
    EXPECT_NEAR(Number(Decode(capture, 6, {"velmir.motion.velocityX"})["velmir.motion.velocityX"]),
                12.5, 1e-6);

    row = Decode(capture, 7, {"velmir.secondary.aircraftIndex"}, fromPlugin);
    EXPECT_EQ(row["velmir.secondary.aircraftIndex"], "0");

    row = Decode(capture, 8, {"velmir.state.barometer", "velmir.state.barometer_hpa16"}, toPlugin);
    EXPECT_EQ(row["velmir.state.barometer"], "16211");
    EXPECT_NEAR(Number(row["velmir.state.barometer_hpa16"]), 1013.1875, 1e-6);
    row = Decode(capture, 8,
                 {"velmir.state.barometer", "velmir.state.com1Frequency", "velmir.state.turbine"},
                 fromPlugin);
    EXPECT_EQ(row["velmir.state.barometer"], std::to_string(sentState.Barometer));
    EXPECT_EQ(row["velmir.state.com1Frequency"], std::to_string(sentState.Com1Frequency));
    EXPECT_EQ(row["velmir.state.turbine"], "1");

    EXPECT_EQ(
        Decode(capture, 9, {"velmir.piston.engineNumber"}, toPlugin)["velmir.piston.engineNumber"],
        "2");

    row = Decode(capture, 10,
                 {"velmir.turbine.exhaustGasTemp", "velmir.turbine.exhaustGasTemp_rankine"},
                 fromPlugin + " && velmir.turbine.engineNumber == 2");
    EXPECT_EQ(row["velmir.turbine.exhaustGasTemp"], std::to_string(sentTurbine.ExhaustGasTemp));
    EXPECT_NEAR(Number(row["velmir.turbine.exhaustGasTemp_rankine"]),
                client::CelsiusFromRankine(sentTurbine.ExhaustGasTemp), 1e-6);

    row = Decode(capture, 11, {"velmir.fuel.tank2", "velmir.fuel.tank4"}, toPlugin);
    EXPECT_EQ(row["velmir.fuel.tank2"], "1");
    EXPECT_EQ(row["velmir.fuel.tank4"], "9");
    row = Decode(capture, 12, {"velmir.variable.variableId", "velmir.variable.variableValue"});
    EXPECT_EQ(row["velmir.variable.variableId"], "101");
    EXPECT_EQ(row["velmir.variable.variableValue"], "16211");
    EXPECT_EQ(Decode(capture, 13, {"velmir.remove.aircraftIndex"})["velmir.remove.aircraftIndex"],
              "5");

    Shell(std::string("rm -rf ") + dir);
}

}  // namespace
}  // namespace velmir::e2e

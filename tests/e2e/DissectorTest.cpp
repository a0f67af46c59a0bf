// The Wireshark dissector against a real capture: every message type in
// both directions, decoded by tshark, must show the values that were sent.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "e2e/Harness.h"
#include "support/ClientSamples.h"

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

// The field's text in the first packet matching the filter.
std::string Decode(const std::string& capture, const std::string& filter,
                   const std::string& field) {
    std::string line;
    std::getline(
        std::istringstream(Shell("tshark -r " + capture + " -X lua_script:" + VelmirSourceDir +
                                 "/tools/wireshark/velmir.lua -Y '" + filter + "' -T fields -e " +
                                 field + " 2>/dev/null | head -n 1")),
        line);
    return line;
}

// Probes go to a port next to the link's, captured too: seeing one in the
// file shows that what was sent before it has been captured and written.
constexpr std::uint16_t ProbePort = 7471;

void SendProbe() {
    client::Connection probe;
    const std::uint8_t byte = 'p';
    if (probe.Open("127.0.0.1", ProbePort)) probe.SendRaw(&byte, 1);
}

int ProbesIn(const std::string& capture) {
    return std::atoi(Shell("tshark -r " + capture + " -Y 'udp.dstport == " +
                           std::to_string(ProbePort) + "' 2>/dev/null | wc -l")
                         .c_str());
}

// Sends probes until one more than `seen` is in the file; false after 20 s.
bool AwaitProbe(const std::string& capture, int seen) {
    for (int i = 0; i < 100; ++i) {
        SendProbe();
        usleep(200000);
        if (ProbesIn(capture) > seen) return true;
    }
    return false;
}

// Stopped however the test ends, so no capture outlives it.
struct Tshark {
    pid_t pid = -1;
    ~Tshark() { Stop(); }
    void Stop() {
        if (pid <= 0) return;
        kill(pid, SIGINT);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }
};

// Full precision, for values compared as numbers.
std::string Text(double value) {
    std::ostringstream out;
    out.precision(17);
    out << value;
    return out.str();
}

class Dissector : public PluginTest {
  protected:
    void Configure() override {
        host::AircraftConfig twin;
        twin.engines = host::Engines::TwinTurboprop;
        host::ConfigureAircraft(twin);
        host::SetXPlaneVersion(12100);
    }
    // The first report of type T the client received that `pick` accepts.
    template <class T, class Pick>
    std::optional<T> First(Pick pick) const {
        for (const auto& r : received)
            if (const T* m = r.Result.Ok() ? std::get_if<T>(&r.Result.Value) : nullptr)
                if (pick(*m)) return *m;
        return std::nullopt;
    }
};

TEST_F(Dissector, DecodesEveryMessageTypeInBothDirections) {
    if (Shell("command -v tshark").empty()) GTEST_SKIP() << "tshark is not installed";
    char dir[] = "/tmp/velmir-capture-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string capture = std::string(dir) + "/link.pcapng";

    const std::string filter = "udp port 7472 or udp port " + std::to_string(ProbePort);
    Tshark tshark;
    tshark.pid = fork();
    if (tshark.pid == 0) {
        execlp("tshark", "tshark", "-q", "-i", "lo", "-f", filter.c_str(), "-w", capture.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    // A loaded machine can take seconds to start capturing.
    ASSERT_TRUE(AwaitProbe(capture, 0)) << "tshark captured nothing";

    ConnectClient(0x2A);
    // Every type but connect, disconnect and the plugin's own reports 7 and 10.
    for (const client::Message& m : client::samples::EveryMessage()) {
        if (m.index() < 2 || m.index() == 7 || m.index() == 10) continue;
        ASSERT_TRUE(client.Send(m));
    }
    Pump(6.0);  // shared control lapses, then every report flows
    ASSERT_TRUE(client.Disconnect());
    Pump(0.3);
    const bool flushed = AwaitProbe(capture, ProbesIn(capture));
    tshark.Stop();
    ASSERT_TRUE(flushed) << "the capture stopped";

    // What the plugin sent, as the client's own decoder reads it.
    const auto any = [](const auto&) { return true; };
    ASSERT_TRUE(First<client::PositionReport>(any));
    const auto state = First<client::AircraftStateReport>(any);
    const auto model = First<client::ModelReport>(any);
    const auto turbine =
        First<client::TurbineEngineReport>([](const auto& t) { return t.EngineNumber == 2; });
    ASSERT_TRUE(state && model && turbine);

    // Values sent to the plugin are those of ClientSamples.h.
    const char* toPlugin = " && udp.dstport == 7472";
    const char* fromPlugin = " && udp.srcport == 7472";
    const char* engine2 = " && udp.srcport == 7472 && velmir.turbine.engineNumber == 2";
    struct Row {
        int Type;
        const char* Filter;
        const char* Field;
        std::string Want;
        double Tolerance;  // negative: Want is compared as text
    };
    const Row rows[] = {
        {0, toPlugin, "velmir.link_tag", "0x2a0b", -1},
        {0, toPlugin, "velmir.data_version", "21007", -1},
        {1, fromPlugin, "velmir.type", "1", -1},
        {2, toPlugin, "velmir.info.labelFlags", "19", -1},
        {2, toPlugin, "velmir.info.labelColourArgb", "0x00ff8000", -1},
        {2, fromPlugin, "velmir.info.simVersion", "12100", -1},
        {3, toPlugin, "velmir.model.aircraftIndex", "5", -1},
        {3, toPlugin, "velmir.model.tailNumber", "HB-KQA", -1},
        {3, toPlugin, "velmir.model.modelName", client::samples::Model().ModelName, -1},
        {3, fromPlugin, "velmir.model.tailNumber", model->TailNumber, -1},
        {3, fromPlugin, "velmir.model.modelName", model->ModelName, -1},
        {4, toPlugin, "velmir.position.latitude", "47.123456789", 1e-9},
        {4, toPlugin, "velmir.position.altitude_feet", "4997.54", 0.01},
        {4, toPlugin, "velmir.position.yokePitch_ratio", "0.5", 1e-9},
        {4, fromPlugin, "velmir.position.latitude", "47", 0.1},
        {5, "", "velmir.placement.latitude", "46.5", 1e-9},
        {6, "", "velmir.motion.velocityX", "1.5", 1e-6},
        {7, fromPlugin, "velmir.secondary.aircraftIndex", "0", -1},
        {8, toPlugin, "velmir.state.barometer", "16211", -1},
        {8, toPlugin, "velmir.state.barometer_hpa16", "1013.1875", 1e-6},
        {8, fromPlugin, "velmir.state.barometer", std::to_string(state->Barometer), -1},
        {8, fromPlugin, "velmir.state.com1Frequency", std::to_string(state->Com1Frequency), -1},
        {8, fromPlugin, "velmir.state.turbine", "1", -1},
        {9, toPlugin, "velmir.piston.engineNumber", "2", -1},
        {10, engine2, "velmir.turbine.exhaustGasTemp", std::to_string(turbine->ExhaustGasTemp), -1},
        {10, engine2, "velmir.turbine.exhaustGasTemp_rankine",
         Text(client::CelsiusFromRankine(turbine->ExhaustGasTemp)), 1e-6},
        {11, toPlugin, "velmir.fuel.tank2", "1", -1},
        {11, toPlugin, "velmir.fuel.tank4", "9", -1},
        {12, "", "velmir.variable.variableId", "101", -1},
        {12, "", "velmir.variable.variableValue", "16211", -1},
        {13, "", "velmir.remove.aircraftIndex", "40", -1},
    };
    for (const Row& row : rows) {
        const std::string got =
            Decode(capture, "velmir.type == " + std::to_string(row.Type) + row.Filter, row.Field);
        SCOPED_TRACE(std::string(row.Field) + row.Filter);
        if (row.Tolerance < 0) {
            EXPECT_EQ(got, row.Want);
        } else {
            ASSERT_FALSE(got.empty());
            EXPECT_NEAR(std::stod(got), std::stod(row.Want), row.Tolerance);
        }
    }
    Shell(std::string("rm -rf ") + dir);
}

}  // namespace
}  // namespace velmir::e2e

// velmir-wine-check: the Linux side of the Wine stage. It talks to win.xpl,
// loaded by velmir-sim.exe under Wine, over loopback UDP: connection, labels,
// one remote aircraft from model to removal, a stranger; afterwards it reads the run report
// velmir-sim wrote and checks what the plugin did inside the simulator.
//
//   velmir-wine-check live --root DIR --expect FILE [--wait S]
//   velmir-wine-check report FILE --expect FILE
//
// What the plugin does with a message is the same code on Linux, where the
// unit and e2e tests check it; this run shows that the Windows build loads,
// links, sends and receives, and takes its Winsock, clock and path code.
// Each check prints one line; the exit code is 1 when any failed.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/Client.h"
#include "client/Geo.h"
#include "client/Scenario.h"
#include "tests/support/Wire.h"
#include "wine/WineCheck.h"

using namespace velmir;
using namespace velmir::client;

namespace velmir::winecheck {
namespace {
int g_failures = 0;
int g_checks = 0;
}  // namespace

void Check(bool ok, const std::string& what) {
    ++g_checks;
    if (!ok) ++g_failures;
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
}

int Finish(const char* stage) {
    std::printf("velmir-wine-check %s: %d of %d checks failed\n", stage, g_failures, g_checks);
    return g_failures == 0 ? 0 : 1;
}

std::string Option(const std::vector<std::string>& args, const std::string& name,
                   const std::string& fallback) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1];
    return fallback;
}

namespace {

// ------------------------------------------------------------- live --

// Everything the plugin sends, judged as it arrives.
struct Inbox {
    std::map<int, int> counts;     // message type -> datagrams
    std::set<std::string> faults;  // distinct header/length faults
    std::set<int> pistonEngines;
    bool haveUser = false;
    PositionReport user;  // latest user aircraft position
    int disconnects = 0;

    void Absorb(const Received& r) {
        const auto& raw = r.Raw;
        if (raw.size() < HeaderLength) {
            faults.insert("datagram shorter than a header");
            return;
        }
        const int type = raw[23];
        ++counts[type];
        const std::string name = type < MessageTypeCount ? Catalogue[type].Name : "unknown type";
        if (type >= MessageTypeCount || r.Length != Catalogue[type].Length)
            faults.insert(name + ": length " + std::to_string(r.Length));
        if (raw[0] != 0x0B || raw[1] != Tag)
            faults.insert(name + ": link tag bytes are not 0x0B, echoed 0x5A");
        for (int i = 2; i <= 20; ++i)
            if (raw[std::size_t(i)] != 0) faults.insert(name + ": reserved header byte not zero");
        if (raw[21] != 0x0F || raw[22] != 0x52) faults.insert(name + ": data version");
        if (!r.Result.Ok()) {
            faults.insert(name + ": does not decode (" + ToString(r.Result.Error) + ")");
            return;
        }
        if (auto* p = std::get_if<PositionReport>(&r.Result.Value)) {
            if (p->AircraftIndex == 0) {
                user = *p;
                haveUser = true;
            }
        } else if (auto* e = std::get_if<PistonEngineReport>(&r.Result.Value)) {
            pistonEngines.insert(e->EngineNumber);
        } else if (std::holds_alternative<DisconnectNotice>(r.Result.Value)) {
            ++disconnects;
        }
    }
};

// Keeps receiving for `seconds`, calling tick() every 0.1 s.
template <class Tick>
void Pump(Connection& link, Inbox& inbox, double seconds, Tick tick) {
    const double end = MonotonicSeconds() + seconds;
    double nextTick = 0;
    while (MonotonicSeconds() < end) {
        if (MonotonicSeconds() >= nextTick) {
            tick();
            nextTick = MonotonicSeconds() + 0.1;
        }
        if (auto r = link.Receive(20)) inbox.Absorb(*r);
    }
}

// Sends ConnectMessages until the plugin answers (Wine's first start is slow).
bool ConnectWhenListening(Connection& link, Inbox& inbox, double waitSeconds) {
    const double start = MonotonicSeconds();
    while (MonotonicSeconds() - start < waitSeconds) {
        link.Connect(Tag);
        if (auto r = link.Receive(500)) {
            inbox.Absorb(*r);
            std::printf("     plugin answered after %.1f s\n", MonotonicSeconds() - start);
            return true;
        }
    }
    return false;
}

// Opens the link and connects; false, with a failed check, when that fails.
bool Join(Connection& link, Inbox& inbox, const std::vector<std::string>& args) {
    const double wait = std::atof(Option(args, "--wait", "90").c_str());
    if (!link.Open("127.0.0.1", DefaultPort)) {
        Check(false, "client socket: " + link.LastError());
        return false;
    }
    if (ConnectWhenListening(link, inbox, wait)) return true;
    Check(false, "the plugin answers a ConnectMessage within " + std::to_string(int(wait)) + " s");
    return false;
}

// Disconnect (1): the plugin answers with its own DisconnectMessage.
int Leave(Connection& link, Inbox& inbox, const char* stage) {
    link.Disconnect();
    const double until = MonotonicSeconds() + 3.0;
    while (inbox.disconnects == 0 && MonotonicSeconds() < until)
        if (auto r = link.Receive(100)) inbox.Absorb(*r);
    Check(inbox.disconnects == 1, "DisconnectMessage answers the client's disconnect");
    Check(inbox.faults.empty(), "every datagram from the plugin has the right header and length");
    for (const auto& f : inbox.faults) std::printf("     %s\n", f.c_str());
    return Finish(stage);
}

bool HasAll(const Inbox& inbox, std::initializer_list<int> types) {
    for (int t : types)
        if (!inbox.counts.count(t)) return false;
    return true;
}

}  // namespace

int Live(const std::vector<std::string>& args) {
    const std::string root = Option(args, "--root", ".");
    const std::string expectFile = Option(args, "--expect");
    std::string error;
    Check(WriteSlotFolder(root, Slot, error),
          "slot 1 folder written under the simulator root " + error);
    Connection link;
    Inbox inbox;
    if (!Join(link, inbox, args)) return Finish("live");

    // Slot 1 follows the user aircraft a little ahead of it, so that it sits
    // in front of the camera and its label is drawn.
    PositionReport slot;
    slot.AircraftIndex = Slot;
    bool streaming = true;
    auto stream = [&] {
        if (!streaming) return;
        const PositionReport& u = inbox.user;
        const double heading = inbox.haveUser ? u.Heading : 0.0;
        const double lat = inbox.haveUser ? u.Latitude : 47.0;
        const double lon = inbox.haveUser ? u.Longitude : 8.0;
        MoveBy(lat, lon, AheadMetres * std::cos(Radians(heading)),
               AheadMetres * std::sin(Radians(heading)), slot.Latitude, slot.Longitude);
        slot.Altitude = inbox.haveUser ? u.Altitude : 1000.0;
        slot.Heading = float(heading);
        slot.Pitch = inbox.haveUser ? u.Pitch : 0.0f;
        slot.Bank = inbox.haveUser ? u.Bank : 0.0f;
        slot.VelocityX = u.VelocityX;
        slot.VelocityY = u.VelocityY;
        slot.VelocityZ = u.VelocityZ;
        slot.Time = MonotonicSeconds();
        slot.RadioAltitude = -1.0f;
        link.Send(slot);
    };

    // Labels (2) and slot 1's model (3), then positions (4) at 10 Hz while
    // the plugin's periodic reports come in.
    link.Send(InfoReport{0, 0x03, 0x00FF8000u});  // name and tail, orange
    ModelReport model;
    model.AircraftIndex = Slot;
    model.DisplayName = DisplayName;
    model.TailNumber = TailNumber;
    model.ModelName = ModelName;
    link.Send(model);
    const double reportsBy = MonotonicSeconds() + 9.0;
    const std::initializer_list<int> pistonTypes = {2, 3, 4, 7, 8, 9, 11};
    Pump(link, inbox, 3.0, stream);
    while (!HasAll(inbox, pistonTypes) && MonotonicSeconds() < reportsBy)
        Pump(link, inbox, 0.5, stream);
    for (int type : pistonTypes)
        Check(inbox.counts.count(type) > 0, std::string("received ") + Catalogue[type].Name);
    Check(inbox.pistonEngines.count(1) > 0, "PistonEngineMessage for engine 1");

    // Removal (13): streaming stops first, or slot 1 would come back.
    streaming = false;
    if (!expectFile.empty()) {
        std::ofstream out(expectFile);
        out.precision(12);
        out << slot.Latitude << ' ' << slot.Longitude << ' ' << slot.Altitude << '\n';
        Check(bool(out), "expectations written to " + expectFile);
    }
    link.Send(RemoveAircraftCommand{Slot});
    Pump(link, inbox, 0.5, [] {});

    // A wrong data version from another socket: the plugin answers that
    // sender with a bare DisconnectMessage and keeps its client.
    {
        Connection stranger;
        stranger.Open("127.0.0.1", DefaultPort);
        test::Wire bad(0, 24);
        bad.At(1, Tag).At(21, std::uint16_t{20494});  // instead of 21007
        stranger.SendRaw(bad.data(), bad.size());
        std::optional<Received> reply;
        const double until = MonotonicSeconds() + 3.0;
        while (!reply && MonotonicSeconds() < until) reply = stranger.Receive(100);
        Check(reply && reply->Length == 24 && reply->Raw[23] == DisconnectMessage &&
                  reply->Raw[21] == 0x0F && reply->Raw[22] == 0x52,
              "a wrong data version is answered with a 24-byte DisconnectMessage");
    }
    // Reports keep coming (every second at least) to the client.
    bool reported = false;
    const double quietUntil = MonotonicSeconds() + 2.5;
    while (!reported && MonotonicSeconds() < quietUntil)
        if (auto r = link.Receive(100)) {
            inbox.Absorb(*r);
            reported = true;
        }
    Check(reported, "the client stays connected after a stranger's wrong version");
    return Leave(link, inbox, "live");
}

}  // namespace velmir::winecheck

using namespace velmir::winecheck;

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : 1), argv + argc);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "live") return Live(args);
    if (command == "report") return Report(args);
    std::fprintf(stderr,
                 "usage: velmir-wine-check live --root DIR --expect FILE [--wait S]\n"
                 "       velmir-wine-check report FILE --expect FILE\n");
    return 2;
}

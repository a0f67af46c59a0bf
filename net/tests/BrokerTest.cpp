// Against a real mosquitto on 127.0.0.1 (a free port, our own config in a
// temporary folder): two pilots see each other, survive a broker restart,
// and the last will clears a vanished pilot. Then the program's exit codes.
#include <gtest/gtest.h>

#include <mosquitto.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "net/pilot/Mqtt.h"
#include "net/pilot/Pilot.h"
#include "net/tests/LocalBroker.h"

// Where this build put them (generated beside the objects).
extern const char* const VelmirNetBinary;
extern const char* const VelmirSourceDir;

namespace velmir::net {
namespace {

namespace fs = std::filesystem;

std::uint64_t WallMicros() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000u + std::uint64_t(ts.tv_nsec) / 1000u;
}

struct CountingPlugin : PluginPort {
    std::vector<std::string> Models;
    std::vector<double> Times;  // sender clocks forwarded
    int Removes = 0;
    void PrepareSlot(int, const Identity&) override {}
    void SendModel(int, const Identity& id) override { Models.push_back(id.Callsign); }
    void SendSample(const client::PositionReport& r) override { Times.push_back(r.Time); }
    void RemoveSlot(int) override { ++Removes; }
};

// A pilot with its own MQTT session, flying a fixed point.
struct Member {
    MqttSession Session;
    CountingPlugin Plugin;
    std::unique_ptr<Pilot> Me;
    double Lat, Lon, Clock = 10.0;
    bool WasConnected = false;

    Member(const std::string& callsign, double lat, double lon, int port) : Lat(lat), Lon(lon) {
        PilotOptions o;
        o.Callsign = callsign;
        Me = std::make_unique<Pilot>(o, Session, Plugin);
        Session.SetMessageHandler(
            [this](const char* t, const std::uint8_t* d, std::size_t n, bool retained) {
                Me->OnMessage(t, d, n, client::MonotonicSeconds(), WallMicros(), retained);
            });
        BrokerOptions b;
        b.Port = port;
        b.ClientId = "test-" + callsign;
        b.WillTopic = IdentityTopic(callsign);
        std::string error;
        EXPECT_EQ(Session.Start(b, error), BrokerFailure::None) << error;
    }
    void Report(double now) {
        client::PositionReport r;
        r.Time = (Clock += 0.1);
        r.Latitude = Lat;
        r.Longitude = Lon;
        r.Altitude = 900;
        Me->OnOwnPosition(r, now, WallMicros());
        client::ModelReport m;
        m.ModelName = "Aircraft/" + Me->Callsign() + ".acf";
        Me->OnOwnModel(m);
    }
    void Service(double now) {
        pollfd f{Session.Socket(), short(POLLIN | (Session.WantsWrite() ? POLLOUT : 0)), 0};
        if (f.fd >= 0) ::poll(&f, 1, 0);
        std::string error;
        Session.Service(now, error);
        if (Session.TakeJustConnected()) Me->OnBrokerConnected();
        if (WasConnected && !Session.Connected()) Me->OnBrokerLost(now);
        WasConnected = Session.Connected();
    }
};

// Runs the members for `seconds`: reports at 10 Hz, ticks, network service.
void Fly(std::vector<Member*> members, double seconds, bool report = true) {
    const double end = client::MonotonicSeconds() + seconds;
    double nextTick = 0;
    while (client::MonotonicSeconds() < end) {
        const double now = client::MonotonicSeconds();
        for (Member* m : members) m->Service(now);
        if (now >= nextTick) {
            for (Member* m : members) {
                if (report) m->Report(now);
                m->Me->Tick(now);
            }
            nextTick = now + 0.1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

TEST(NetBroker, TwoPilotsSeeEachOtherAndSurviveABrokerRestart) {
    LocalBroker broker;
    Member a("ALPHA", 47.5, 8.5, broker.Port()), b("BRAVO", 47.6, 8.55, broker.Port());
    Fly({&a, &b}, 2.0);
    ASSERT_EQ(a.Plugin.Models, std::vector<std::string>{"BRAVO"});
    ASSERT_EQ(b.Plugin.Models, std::vector<std::string>{"ALPHA"});
    ASSERT_GT(a.Plugin.Times.size(), 8u);
    // The sender's clock arrives untouched: BRAVO's reports count from 10.1.
    for (std::size_t i = 1; i < a.Plugin.Times.size(); ++i)
        EXPECT_NEAR(a.Plugin.Times[i] - a.Plugin.Times[i - 1], 0.1, 1e-9);
    const auto view = a.Me->View(client::MonotonicSeconds());
    ASSERT_EQ(view.size(), 1u);
    EXPECT_EQ(view[0].Slot, 1);
    EXPECT_NEAR(view[0].DistanceNm, 6.34, 0.05);
    ASSERT_TRUE(view[0].LatencyMs.has_value());
    EXPECT_GE(*view[0].LatencyMs, 0.0);
    EXPECT_LT(*view[0].LatencyMs, 200.0);

    // Down for a moment, and back on the same port without retained state:
    // both reconnect, subscribe again and publish their identity again.
    broker.Stop();
    Fly({&a, &b}, 1.0);
    broker.Start();
    const std::size_t before = a.Plugin.Times.size();
    Fly({&a, &b}, 3.0);
    EXPECT_EQ(a.Plugin.Removes, 1);  // only the one before its first model
    EXPECT_GT(a.Plugin.Times.size(), before + 5);
    EXPECT_GE(a.Session.Connects(), 2u);

    // BRAVO vanishes without a word: its last will clears its identity.
    b.Session.~MqttSession();
    new (&b.Session) MqttSession();
    Fly({&a}, 1.0);
    EXPECT_EQ(a.Plugin.Removes, 2);
    EXPECT_TRUE(a.Me->View(client::MonotonicSeconds()).empty());
}

// A raw publisher: any topic, any payload, retained or not.
struct Publisher {
    MqttSession Session;
    explicit Publisher(int port) {
        BrokerOptions b;
        b.Port = port;
        b.ClientId = "test-publisher";
        std::string error;
        EXPECT_EQ(Session.Start(b, error), BrokerFailure::None) << error;
        for (int i = 0; i < 200 && !Session.Connected(); ++i) Service();
    }
    void Service() {
        pollfd f{Session.Socket(), short(POLLIN | (Session.WantsWrite() ? POLLOUT : 0)), 0};
        if (f.fd >= 0) ::poll(&f, 1, 10);
        std::string error;
        Session.Service(client::MonotonicSeconds(), error);
    }
    void Send(const std::string& topic, const std::vector<std::uint8_t>& payload, bool retain) {
        EXPECT_TRUE(Session.Publish(topic, payload.data(), payload.size(), 1, retain));
        for (int i = 0; i < 100 && Session.WantsWrite(); ++i) Service();
        for (int i = 0; i < 10; ++i) Service();
    }
};

std::vector<std::uint8_t> SampleAt(double lat, double lon, std::uint64_t sentAt) {
    Sample s;
    s.SentAtMicros = sentAt;
    s.Report.Time = 100;
    s.Report.Latitude = lat;
    s.Report.Longitude = lon;
    s.Report.Altitude = 900;
    std::vector<std::uint8_t> b(SampleLayout::Length);
    EncodeSample(s, b.data());
    return b;
}

std::vector<std::uint8_t> IdentityOf(const std::string& callsign) {
    std::vector<std::uint8_t> b(IdentityLayout::Length);
    EncodeIdentity(Identity{callsign, callsign, "", "ghost.acf", 0}, b.data());
    return b;
}

std::uint64_t DroppedFor(const Pilot& p, DropReason r) {
    return p.GetCounters().DroppedBy[static_cast<int>(r)];
}

// What a publisher leaves on the broker or pushes through it: a retained
// sample of a pilot long gone, and a payload of megabytes. Neither reaches
// the plugin, and the listener keeps its connection and its traffic.
TEST(NetBroker, RetainedAndOversizedSamplesNeverReachThePlugin) {
    LocalBroker broker;  // no size limit of its own: the listener's check alone
    {
        Publisher ghost(broker.Port());
        ghost.Send(PositionTopic(Cell{47, 8}, "GHOST"), SampleAt(47.45, 8.5, WallMicros()), true);
        ghost.Send(IdentityTopic("GHOST"), IdentityOf("GHOST"), true);
    }
    Member a("ALPHA", 47.5, 8.5, broker.Port()), b("BRAVO", 47.6, 8.55, broker.Port());
    Fly({&a, &b}, 1.5);
    EXPECT_EQ(a.Plugin.Models, std::vector<std::string>{"BRAVO"});
    // Cell subscriptions ask for no retained messages: the broker never
    // sends the ghost (the Pilot refuses one from a broker that would).
    EXPECT_EQ(DroppedFor(*a.Me, DropReason::Retained), 0u);
    EXPECT_EQ(a.Me->Heard(), 1u);

    Publisher flood(broker.Port());
    flood.Send(PositionTopic(Cell{47, 8}, "FLOOD"), std::vector<std::uint8_t>(4 << 20, 0x41),
               false);
    Fly({&a, &b}, 1.0);
    EXPECT_EQ(DroppedFor(*a.Me, DropReason::Oversized), 1u);
    EXPECT_EQ(a.Plugin.Models, std::vector<std::string>{"BRAVO"});
    EXPECT_EQ(a.Session.Connects(), 1u);
    const std::size_t before = a.Plugin.Times.size();
    Fly({&a, &b}, 0.5);
    EXPECT_GT(a.Plugin.Times.size(), before);  // BRAVO still arrives
}

// Every shipped broker configuration bounds packets: a payload bigger than
// any of ours never leaves the broker, and ours still pass.
TEST(NetBroker, ShippedConfigurationsLimitThePacketSize) {
    namespace fs = std::filesystem;
    std::string limitLine;
    for (const char* folder : {"config/broker", "config/federation"})
        for (const auto& entry : fs::directory_iterator(fs::path(VelmirSourceDir) / folder)) {
            if (entry.path().extension() != ".conf") continue;
            std::ifstream in(entry.path());
            std::string line, found;
            while (std::getline(in, line))
                if (line.rfind("max_packet_size ", 0) == 0) found = line;
            EXPECT_FALSE(found.empty()) << entry.path();
            if (!found.empty()) {
                const long limit = std::stol(found.substr(16));
                EXPECT_GE(limit, 332 + 128) << entry.path();  // an identity and its topic
                EXPECT_LE(limit, 4096) << entry.path();
            }
            if (entry.path().filename() == "local.conf") limitLine = found;
        }
    ASSERT_FALSE(limitLine.empty());

    LocalBroker broker(
        [&](const fs::path&) { return "allow_anonymous true\n" + limitLine + "\n"; });
    Member a("ALPHA", 47.5, 8.5, broker.Port()), b("BRAVO", 47.6, 8.55, broker.Port());
    // Over MQTT 5 the broker tells its limit and libmosquitto keeps to it; a
    // hostile client speaks 3.1.1 and sends the packet anyway.
    mosquitto* flood = mosquitto_new("test-flood", true, nullptr);
    ASSERT_NE(flood, nullptr);
    mosquitto_int_option(flood, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    ASSERT_EQ(mosquitto_connect(flood, "127.0.0.1", broker.Port(), 10), MOSQ_ERR_SUCCESS);
    const std::vector<std::uint8_t> huge(100'000, 0x41);
    const std::string topic = PositionTopic(Cell{47, 8}, "FLOOD");
    for (int i = 0; i < 20; ++i) mosquitto_loop(flood, 10, 1);
    EXPECT_EQ(mosquitto_publish(flood, nullptr, topic.c_str(), static_cast<int>(huge.size()),
                                huge.data(), 0, false),
              MOSQ_ERR_SUCCESS);
    for (int i = 0; i < 50 && mosquitto_want_write(flood); ++i) mosquitto_loop(flood, 10, 1);
    Fly({&a, &b}, 1.5);
    mosquitto_destroy(flood);
    EXPECT_EQ(DroppedFor(*a.Me, DropReason::Oversized), 0u);        // never arrived
    EXPECT_EQ(a.Plugin.Models, std::vector<std::string>{"BRAVO"});  // identities fit
    EXPECT_GT(a.Plugin.Times.size(), 5u);
}

// The program itself: exit codes the other tools rely on.
int RunProgram(const std::string& arguments) {
    const int status =
        std::system((std::string(VelmirNetBinary) + " " + arguments + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NetProgram, ExitCodes) {
    const std::string root = fs::temp_directory_path().string();
    LocalBroker open;
    const std::string at = " --broker 127.0.0.1:" + std::to_string(open.Port()) + " --root " + root;
    // Nothing listens on this UDP port: no report comes.
    EXPECT_EQ(
        RunProgram("join --callsign ME" + at + " --plugin 127.0.0.1:" + std::to_string(FreePort())),
        5);
    EXPECT_EQ(RunProgram("join --callsign me" + at), 2);
    EXPECT_EQ(RunProgram("join --callsign ME --root " + root + " --broker host.invalid"), 2);
    EXPECT_EQ(RunProgram("join --callsign ME --root " + root + " --broker 127.0.0.1:70000"), 2);
    EXPECT_EQ(RunProgram("join --callsign ME --broker 127.0.0.1 --root /no/such/folder"), 2);

    LocalBroker locked([](const fs::path& folder) {
        const fs::path passwords = folder / "passwd";
        std::system(("mosquitto_passwd -b -c " + passwords.string() + " ME right").c_str());
        std::ofstream(folder / "wrong") << "wrong\n";
        return "allow_anonymous false\npassword_file " + passwords.string() + "\n";
    });
    EXPECT_EQ(RunProgram("join --callsign ME --root " + root +
                         " --broker 127.0.0.1:" + std::to_string(locked.Port()) +
                         " --password-file " + (locked.Folder() / "wrong").string()),
              3);
}

// Credentials that cannot work are refused before anything is sent: a user
// name the ACL will not let publish as our callsign, an empty password. A
// password file others can read is used, with a warning.
TEST(NetProgram, CredentialsThatCannotWorkAreRefusedAtStart) {
    const std::string root = fs::temp_directory_path().string();
    LocalBroker locked([](const fs::path& folder) {
        const fs::path passwords = folder / "passwd";
        std::system(("mosquitto_passwd -b -c " + passwords.string() + " ME right").c_str());
        std::ofstream(folder / "right") << "right\n";
        std::ofstream(folder / "empty") << "\nright\n";
        fs::permissions(folder / "right", fs::perms::owner_read | fs::perms::owner_write);
        std::ofstream(folder / "shared") << "right\n";
        fs::permissions(folder / "shared",
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        return "allow_anonymous false\npassword_file " + passwords.string() + "\n";
    });
    const fs::path folder = locked.Folder();
    const std::string at = " --root " + root +
                           " --broker 127.0.0.1:" + std::to_string(locked.Port()) +
                           " --plugin 127.0.0.1:" + std::to_string(FreePort(SOCK_DGRAM));
    const fs::path log = folder / "stderr";
    auto run = [&](const std::string& arguments) {
        const int status = std::system(
            (std::string(VelmirNetBinary) + " " + arguments + " >/dev/null 2>" + log.string())
                .c_str());
        std::ifstream in(log);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, text);
    };
    struct Case {
        std::string Arguments;
        int Exit;
        const char* Says;
    };
    const Case cases[] = {
        {"--username BOB --password-file " + (folder / "right").string(), 2, "--username"},
        {"--username BOB", 2, "--username"},
        {"--password-file " + (folder / "empty").string(), 2, "empty"},
        {"--username ME --password-file " + (folder / "right").string(), 5, ""},
        {"--password-file " + (folder / "shared").string(), 5, "readable by others"},
    };
    for (const Case& c : cases) {
        const auto [code, text] = run("join --callsign ME" + at + " " + c.Arguments);
        EXPECT_EQ(code, c.Exit) << c.Arguments << "\n" << text;
        EXPECT_NE(text.find(c.Says), std::string::npos) << c.Arguments << "\n" << text;
        if (c.Exit == 5) {
            EXPECT_EQ(text.find("readable") != std::string::npos, *c.Says != 0);
        }
    }
}

TEST(NetProgram, TlsVerifiesTheBrokerAgainstTheGivenCa) {
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
    const auto certificate = [](const fs::path& folder, const std::string& name) {
        return std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                            "-nodes -days 2 -subj /CN=localhost "
                            "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
                            (folder / (name + ".key")).string() + " -out " +
                            (folder / (name + ".pem")).string() + " >/dev/null 2>&1")
                               .c_str()) == 0;
    };
    LocalBroker tls([&](const fs::path& folder) {
        EXPECT_TRUE(certificate(folder, "server"));
        EXPECT_TRUE(certificate(folder, "stranger"));
        // mosquitto started as root reads its key as the mosquitto user.
        fs::permissions(folder / "server.key", fs::perms::others_read, fs::perm_options::add);
        return "allow_anonymous true\ncertfile " + (folder / "server.pem").string() + "\nkeyfile " +
               (folder / "server.key").string() + "\n";
    });
    const std::string common = "join --callsign ME --root " + fs::temp_directory_path().string() +
                               " --plugin 127.0.0.1:" + std::to_string(FreePort()) +
                               " --broker 127.0.0.1:" + std::to_string(tls.Port());
    // Trusted: connects, then finds no plugin. Untrusted or missing CA: TLS failure.
    EXPECT_EQ(RunProgram(common + " --tls-ca " + (tls.Folder() / "server.pem").string()), 5);
    EXPECT_EQ(RunProgram(common + " --tls-ca " + (tls.Folder() / "stranger.pem").string()), 4);
    EXPECT_EQ(RunProgram(common + " --tls-ca " + (tls.Folder() / "missing.pem").string()), 4);
}

}  // namespace
}  // namespace velmir::net

// The map server over real HTTP on loopback: the page, the table, the event
// stream, and the requests it must refuse.
#include <gtest/gtest.h>
#include <unistd.h>

#include <httplib.h>

#include "net/web/MapService.h"
#include "net/web/Page.h"

namespace velmir::net {
namespace {

class WebServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        for (int attempt = 0; attempt < 20; ++attempt) {
            port_ = 20000 + (getpid() * 7 + attempt * 131) % 30000;
            if (service_.Start("127.0.0.1:" + std::to_string(port_), error)) return;
        }
        FAIL() << error;
    }
    void TearDown() override { service_.Stop(); }
    void AddPilot(const std::string& callsign, double lat, double lon, double now) {
        Sample s;
        s.Report.Time = 100.0;
        s.Report.Latitude = lat;
        s.Report.Longitude = lon;
        std::uint8_t bytes[SampleLayout::Length];
        EncodeSample(s, bytes);
        service_.Table().OnMessage(PositionTopic(CellOf(lat, lon), callsign), bytes, sizeof bytes,
                                   now);
    }
    httplib::Client Client() {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(5, 0);
        return c;
    }

    MapService service_{"map"};
    int port_ = 0;
};

TEST_F(WebServerTest, ServesThePageWithItsLibrariesAndAStrictPolicy) {
    auto c = Client();
    auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("map.js"), std::string::npos);
    const std::string policy = page->get_header_value("Content-Security-Policy");
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(policy.find("unsafe-eval"), std::string::npos);
    for (const char* path : {"/map.js", "/lib/leaflet.js", "/lib/topojson-client.min.js",
                             "/lib/countries-110m.json"}) {
        auto r = c.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 200) << path;
        EXPECT_EQ(r->body.size(), FindPageFile(path)->Size) << path;
    }
    auto missing = c.Get("/lib/../../etc/passwd");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
}

TEST_F(WebServerTest, RefusesForeignHostNames) {
    // A page elsewhere whose name resolves to 127.0.0.1 must not read the map.
    auto c = Client();
    auto r = c.Get("/api/pilots", {{"Host", "attacker.example:8747"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    EXPECT_TRUE(IsLoopbackHost("localhost:8747"));
    EXPECT_TRUE(IsLoopbackHost("[::1]:8747"));
    EXPECT_FALSE(IsLoopbackHost("127.0.0.1.example"));
}

TEST_F(WebServerTest, TheTableAsJson) {
    AddPilot("ABC1", 47.5, 8.5, 0);
    AddPilot("DEF2", -33.9, 151.2, 0);
    service_.Publish(1, 1, {{"broker", {{"connected", true}, {"address", "x:1883"}}}});
    auto r = Client().Get("/api/pilots");
    ASSERT_TRUE(r);
    const auto doc = nlohmann::json::parse(r->body);
    EXPECT_EQ(doc["kind"], "map");
    EXPECT_EQ(doc["count"], 2);
    ASSERT_EQ(doc["pilots"].size(), 2u);
    EXPECT_EQ(doc["pilots"][1]["callsign"], "DEF2");
    EXPECT_DOUBLE_EQ(doc["pilots"][1]["lon"].get<double>(), 151.2);
    EXPECT_EQ(doc["status"]["broker"]["connected"], true);
}

TEST_F(WebServerTest, EventsStartWithTheWholeTableThenCarryChanges) {
    AddPilot("ABC1", 47.5, 8.5, 0);
    service_.Publish(0, 0, nlohmann::json::object());
    std::vector<std::string> events;
    std::string buffer;
    std::thread feeder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        AddPilot("DEF2", 47.6, 8.6, 1);
        service_.Publish(1, 1, nlohmann::json::object());
    });
    auto c = Client();
    c.Get("/api/events", [&](const char* data, std::size_t n) {
        buffer.append(data, n);
        for (auto end = buffer.find("\n\n"); end != std::string::npos; end = buffer.find("\n\n")) {
            events.push_back(buffer.substr(0, end));
            buffer.erase(0, end + 2);
        }
        return events.size() < 2;  // stop reading after two events
    });
    feeder.join();
    ASSERT_EQ(events.size(), 2u);
    ASSERT_EQ(events[0].rfind("event: snapshot\ndata: ", 0), 0u);
    const auto snapshot = nlohmann::json::parse(events[0].substr(22));
    EXPECT_EQ(snapshot["pilots"].size(), 1u);
    ASSERT_EQ(events[1].rfind("event: update\ndata: ", 0), 0u);
    const auto update = nlohmann::json::parse(events[1].substr(20));
    ASSERT_EQ(update["upsert"].size(), 1u);
    EXPECT_EQ(update["upsert"][0]["callsign"], "DEF2");
}

TEST(MapListen, ABadOrTakenAddressIsRefused) {
    MapService a{"map"}, b{"map"};
    std::string error;
    EXPECT_FALSE(a.Start("127.0.0.1:99999", error));
    EXPECT_FALSE(a.Start("nohost:", error));
    for (int port = 21000; port < 21050; ++port) {
        if (!a.Start("127.0.0.1:" + std::to_string(port), error)) continue;
        EXPECT_FALSE(b.Start("127.0.0.1:" + std::to_string(port), error));
        EXPECT_NE(error.find("cannot listen"), std::string::npos);
        a.Stop();
        return;
    }
    FAIL() << "no free port";
}

}  // namespace
}  // namespace velmir::net

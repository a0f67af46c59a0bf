// lin.xpl as the simulator sees it: loaded, started, stopped and unloaded,
// again and again, each time with fresh state.
#include "e2e/Harness.h"

namespace velmir::e2e {
namespace {

TEST(Module, LoadStartStopUnloadFiftyTimesWithFreshStateEachTime) {
    host::Session session;
    host::SetLogEcho(false);
    for (int cycle = 0; cycle < 50; ++cycle) {
        SCOPED_TRACE(cycle);
        std::string error;
        ASSERT_TRUE(host::LoadAndStart(VELMIR_XPL_PATH, &error)) << error;
        client::Connection client;
        ASSERT_TRUE(client.Open("127.0.0.1", 7472));

        // A fresh module starts with the initial link tag: the reply to a
        // wrong version shows it.
        std::uint8_t bad[24] = {0x0B};
        bad[21] = 0x0F;
        bad[22] = 0x53;
        ASSERT_TRUE(client.SendRaw(bad, sizeof bad));
        host::RunFor(0.2);
        auto reply = client.Receive(100);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->Raw[0], 0x0B);
        EXPECT_EQ(reply->Raw[1], 0x00);

        // Change the tag; the next load must not remember it.
        ASSERT_TRUE(client.Connect(static_cast<std::uint8_t>(cycle + 1)));
        host::RunFor(0.2);
        host::StopPlugin();
        EXPECT_TRUE(host::Plugin().unloaded);
        EXPECT_TRUE(host::FlightLoops().empty());
    }
    EXPECT_TRUE(host::Errors().empty());
}

}  // namespace
}  // namespace velmir::e2e

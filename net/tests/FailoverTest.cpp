// Several brokers for one pilot, against real mosquitto processes on
// 127.0.0.1: a dead home broker is left for the next, a broker that goes
// away is left, and a single broker is never given up.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>
#include <string>

#include "net/pilot/Failover.h"
#include "net/tests/LocalBroker.h"

namespace velmir::net {
namespace {

BrokerOptions At(int port, const std::string& id) {
    BrokerOptions b;
    b.Port = port;
    b.ClientId = id;
    return b;
}

// Services the session until pred() or `seconds` pass; pred()'s last value.
template <class Pred>
bool RunUntil(FailoverSession& s, double seconds, Pred pred) {
    std::string error;
    const double end = client::MonotonicSeconds() + seconds;
    while (client::MonotonicSeconds() < end) {
        pollfd fd{s.Socket(), static_cast<short>(POLLIN | (s.WantsWrite() ? POLLOUT : 0)), 0};
        ::poll(&fd, fd.fd >= 0 ? 1 : 0, 20);
        EXPECT_EQ(s.Service(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
        if (pred()) return true;
    }
    return pred();
}

TEST(NetFailover, ADeadHomeBrokerIsLeftForTheNext) {
    LocalBroker spare;
    FailoverSession s({At(FreePort(), "fo-1"), At(spare.Port(), "fo-1")}, 1.0);
    std::string error;
    ASSERT_EQ(s.Start(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
    ASSERT_TRUE(RunUntil(s, 8.0, [&] { return s.Connected(); }));
    EXPECT_EQ(s.Current(), 1u);
    EXPECT_EQ(s.Moves(), 1);
    EXPECT_TRUE(s.TakeJustConnected());
}

TEST(NetFailover, ABrokerThatGoesAwayIsLeftAndTheSessionComesBackElsewhere) {
    LocalBroker home, spare;
    FailoverSession s({At(home.Port(), "fo-2"), At(spare.Port(), "fo-2")}, 1.0);
    std::string error;
    ASSERT_EQ(s.Start(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
    ASSERT_TRUE(RunUntil(s, 5.0, [&] { return s.Connected(); }));
    EXPECT_EQ(s.Current(), 0u);
    EXPECT_TRUE(s.TakeJustConnected());
    // Staying connected: no move while the broker answers.
    RunUntil(s, 1.5, [] { return false; });
    EXPECT_EQ(s.Moves(), 0);

    home.Stop();
    ASSERT_TRUE(RunUntil(s, 10.0, [&] { return s.Current() == 1u && s.Connected(); }));
    EXPECT_EQ(s.Moves(), 1);
    EXPECT_TRUE(s.TakeJustConnected());  // the caller subscribes again
}

TEST(NetFailover, ASingleBrokerIsNeverGivenUp) {
    FailoverSession s({At(FreePort(), "fo-3")}, 0.5);
    std::string error;
    ASSERT_EQ(s.Start(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
    EXPECT_FALSE(RunUntil(s, 2.0, [&] { return s.Connected(); }));
    EXPECT_EQ(s.Moves(), 0);
    EXPECT_EQ(s.Current(), 0u);
}

// A broker that wants a password no anonymous pilot has.
std::string Locked(const std::filesystem::path& folder) {
    const auto passwords = folder / "passwd";
    std::system(("mosquitto_passwd -b -c " + passwords.string() + " OTHER secret").c_str());
    return "allow_anonymous false\npassword_file " + passwords.string() + "\n";
}

// With the home broker restarting and the spare refusing our credentials,
// the pilot keeps knocking at home and joins it when it is back; only a
// list in which every broker refuses is a failure.
TEST(NetFailover, ARefusingSpareIsSkippedAndOnlyAllRefusingEnds) {
    LocalBroker home, spare(Locked);
    home.Stop();
    FailoverSession s({At(home.Port(), "fo-4"), At(spare.Port(), "fo-4")}, 0.5);
    std::string error;
    ASSERT_EQ(s.Start(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
    EXPECT_FALSE(RunUntil(s, 3.0, [&] { return s.Connected(); }));
    EXPECT_GE(s.Moves(), 2);  // to the spare, refused there, and home again
    home.Start();
    ASSERT_TRUE(RunUntil(s, 8.0, [&] { return s.Connected(); }));
    EXPECT_EQ(s.Current(), 0u);

    LocalBroker lockedToo(Locked);
    FailoverSession all({At(spare.Port(), "fo-5"), At(lockedToo.Port(), "fo-5")}, 0.5);
    ASSERT_EQ(all.Start(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
    BrokerFailure failure = BrokerFailure::None;
    const double end = client::MonotonicSeconds() + 8.0;
    while (failure == BrokerFailure::None && client::MonotonicSeconds() < end) {
        pollfd fd{all.Socket(), static_cast<short>(POLLIN | (all.WantsWrite() ? POLLOUT : 0)), 0};
        ::poll(&fd, fd.fd >= 0 ? 1 : 0, 20);
        failure = all.Service(client::MonotonicSeconds(), error);
    }
    EXPECT_EQ(failure, BrokerFailure::Refused) << error;
    EXPECT_EQ(all.Moves(), 1);
}

}  // namespace
}  // namespace velmir::net

// Several brokers for one pilot, against real mosquitto processes on
// 127.0.0.1: a dead home broker is left for the next, a broker that goes
// away is left, and a single broker is never given up.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "net/Failover.h"

namespace velmir::net {
namespace {

namespace fs = std::filesystem;

int UnusedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

// One mosquitto on a port of its own, stopped when it goes out of scope.
class LiveBroker {
  public:
    LiveBroker() : port_(UnusedPort()) {
        conf_ = fs::temp_directory_path() / ("velmir-failover-" + std::to_string(getpid()) + "-" +
                                             std::to_string(port_) + ".conf");
        std::ofstream(conf_) << "listener " << port_
                             << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
        pid_ = fork();
        if (pid_ == 0) {
            std::freopen("/dev/null", "w", stderr);
            execl(VELMIR_MOSQUITTO, "mosquitto", "-c", conf_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~LiveBroker() {
        Stop();
        std::error_code ignored;
        fs::remove(conf_, ignored);
    }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    int Port() const { return port_; }

  private:
    int port_;
    pid_t pid_ = -1;
    fs::path conf_;
};

BrokerOptions At(int port, const std::string& id) {
    BrokerOptions b;
    b.Port = port;
    b.ClientId = id;
    return b;
}

// Services the session until pred() or `seconds` pass; pred()'s last value.
template <class Pred>
bool RunUntil(FailoverSession& s, Pred pred, double seconds) {
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
    LiveBroker spare;
    FailoverSession s({At(UnusedPort(), "fo-1"), At(spare.Port(), "fo-1")}, 1.0);
    std::string error;
    ASSERT_EQ(s.Start(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
    ASSERT_TRUE(RunUntil(
        s, [&] { return s.Connected(); }, 8.0));
    EXPECT_EQ(s.Current(), 1u);
    EXPECT_EQ(s.Moves(), 1);
    EXPECT_TRUE(s.TakeJustConnected());
}

TEST(NetFailover, ABrokerThatGoesAwayIsLeftAndTheSessionComesBackElsewhere) {
    LiveBroker home, spare;
    FailoverSession s({At(home.Port(), "fo-2"), At(spare.Port(), "fo-2")}, 1.0);
    std::string error;
    ASSERT_EQ(s.Start(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
    ASSERT_TRUE(RunUntil(
        s, [&] { return s.Connected(); }, 5.0));
    EXPECT_EQ(s.Current(), 0u);
    EXPECT_TRUE(s.TakeJustConnected());
    // Staying connected: no move while the broker answers.
    RunUntil(
        s, [] { return false; }, 1.5);
    EXPECT_EQ(s.Moves(), 0);

    home.Stop();
    ASSERT_TRUE(RunUntil(
        s, [&] { return s.Current() == 1u && s.Connected(); }, 10.0));
    EXPECT_EQ(s.Moves(), 1);
    EXPECT_TRUE(s.TakeJustConnected());  // the caller subscribes again
}

TEST(NetFailover, ASingleBrokerIsNeverGivenUp) {
    FailoverSession s({At(UnusedPort(), "fo-3")}, 0.5);
    std::string error;
    ASSERT_EQ(s.Start(client::MonotonicSeconds(), error), BrokerFailure::None) << error;
    EXPECT_FALSE(RunUntil(
        s, [&] { return s.Connected(); }, 2.0));
    EXPECT_EQ(s.Moves(), 0);
    EXPECT_EQ(s.Current(), 0u);
}

}  // namespace
}  // namespace velmir::net

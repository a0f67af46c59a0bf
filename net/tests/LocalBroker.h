// Loopback helpers for the network tests and benchmark: a port nothing
// listens on, and a private mosquitto on one, from a configuration in a
// temporary folder of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

namespace velmir::net {

// Bound to port 0 and released: the kernel's pick stays unused for a while.
inline int FreePort(int type = SOCK_STREAM) {
    const int s = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

inline bool Accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// One mosquitto on 127.0.0.1, started by the constructor, stopped and its
// folder removed when it goes out of scope.
class LocalBroker {
  public:
    // `access` writes what it needs into the folder and returns the
    // configuration lines on access; anonymous access by default.
    explicit LocalBroker(std::function<std::string(const std::filesystem::path&)> access = nullptr)
        : port_(FreePort()) {
        folder_ = std::filesystem::temp_directory_path() /
                  ("velmir-broker-" + std::to_string(getpid()) + "-" + std::to_string(port_));
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "mosquitto.conf")
            << "listener " << port_ << " 127.0.0.1\npersistence false\n"
            << (access ? access(folder_) : "allow_anonymous true\n");
        Start();
    }
    ~LocalBroker() {
        Stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    LocalBroker(const LocalBroker&) = delete;
    LocalBroker& operator=(const LocalBroker&) = delete;

    // Returns once the broker accepts connections, or after two seconds.
    void Start() {
        pid_ = fork();
        if (pid_ == 0) {
            const std::string conf = (folder_ / "mosquitto.conf").string();
            std::freopen("/dev/null", "w", stderr);  // its log is not ours
            execl(VELMIR_MOSQUITTO, "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !Accepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    int Port() const { return port_; }
    const std::filesystem::path& Folder() const { return folder_; }

  private:
    int port_;
    pid_t pid_ = -1;
    std::filesystem::path folder_;
};

}  // namespace velmir::net

// The map's HTTP side: the embedded page, GET /api/pilots (the whole table)
// and GET /api/events (Server-Sent Events: a snapshot, then the changes).
// httplib answers on its own threads; the main loop hands over finished
// JSON texts once a second through Publish, so the MQTT side stays
// single-threaded and the threads never see the table itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace velmir::net {

constexpr int DefaultMapPort = 8747;
constexpr int MaxEventClients = 32;  // each holds one of the server's threads

class WebServer {
  public:
    WebServer();
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts answering; false (with the reason) when the address
    // cannot be had.
    bool Start(const std::string& host, int port, std::string& error);
    // The main loop's new state: the whole table and the change since the
    // previous Publish, both finished JSON documents.
    void Publish(std::string snapshot, std::string delta);
    void Stop();

  private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    bool loopbackOnly_ = true;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t version_ = 0;  // 0: nothing published yet
    std::string snapshot_, delta_;
    bool stopping_ = false;
    std::atomic<int> eventClients_{0};
};

// True for a Host header that names this machine's loopback (with any
// port): the page bound to loopback answers only those, so that a web site
// cannot reach it through a name that resolves to 127.0.0.1.
bool IsLoopbackHost(const std::string& hostHeader);

}  // namespace velmir::net

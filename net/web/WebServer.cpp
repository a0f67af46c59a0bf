#include "net/web/WebServer.h"

#include <sys/socket.h>

#include <chrono>

#include <httplib.h>

#include "net/web/Page.h"

namespace velmir::net {
namespace {

// The page's own files, the tile server and data: URLs (Leaflet's CSS), and
// no other script than ours: names from strangers can never run.
constexpr const char* PagePolicy =
    "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
    "img-src 'self' data: https://tile.openstreetmap.org; connect-src 'self'; "
    "object-src 'none'; base-uri 'none'; frame-ancestors 'none'";

bool IsLoopbackAddress(const std::string& host) {
    return host == "127.0.0.1" || host == "::1" || host == "localhost" ||
           host.rfind("127.", 0) == 0;
}

}  // namespace

bool IsLoopbackHost(const std::string& hostHeader) {
    std::string host = hostHeader;
    if (!host.empty() && host[0] == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos) return false;
        host = host.substr(1, close - 1);
    } else if (const auto colon = host.find(':'); colon != std::string::npos) {
        host = host.substr(0, colon);
    }
    return host == "127.0.0.1" || host == "::1" || host == "localhost";
}

WebServer::WebServer() : server_(std::make_unique<httplib::Server>()) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(const std::string& host, int port, std::string& error) {
    loopbackOnly_ = IsLoopbackAddress(host);
    httplib::Server& s = *server_;
    // Room for every event stream plus the page's other requests.
    s.new_task_queue = [] { return new httplib::ThreadPool(MaxEventClients + 8); };
    // Address reuse for a quick restart, but not httplib's SO_REUSEPORT: a
    // second map on the same port must fail, not share the connections.
    s.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    s.set_payload_max_length(4096);  // nothing here takes a body
    s.set_read_timeout(5, 0);
    s.set_write_timeout(5, 0);
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (loopbackOnly_ && !IsLoopbackHost(req.get_header_value("Host"))) {
            res.status = 403;
            res.set_content("forbidden host\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.Get(R"(/(|index\.html|map\.js|map\.css|lib/[A-Za-z0-9._-]+))", [](const httplib::Request& req,
                                                                        httplib::Response& res) {
        const std::string path = req.path == "/" ? "/index.html" : req.path;
        const PageFile* file = FindPageFile(path);
        if (!file) {
            res.status = 404;
            return;
        }
        if (path == "/index.html") res.set_header("Content-Security-Policy", PagePolicy);
        res.set_header("Cache-Control", "no-cache");
        res.set_content(reinterpret_cast<const char*>(file->Data), file->Size, ContentTypeOf(path));
    });
    s.Get("/api/pilots", [this](const httplib::Request&, httplib::Response& res) {
        std::string body;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            body = snapshot_.empty() ? "{}" : snapshot_;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(body, "application/json");
    });
    s.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
        if (eventClients_.fetch_add(1) >= MaxEventClients) {
            eventClients_.fetch_sub(1);
            res.status = 503;
            res.set_content("too many viewers\n", "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        auto sent = std::make_shared<std::uint64_t>(0);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, sent](std::size_t, httplib::DataSink& sink) {
                std::string out;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait_for(lock, std::chrono::seconds(15),
                                      [&] { return stopping_ || version_ != *sent; });
                    if (stopping_) return false;
                    if (version_ == *sent) {
                        out = ": still here\n\n";  // keeps proxies and the browser patient
                    } else if (*sent != 0 && version_ == *sent + 1) {
                        out = "event: update\ndata: " + delta_ + "\n\n";
                    } else {  // first, or fell behind: start over from the whole table
                        out = "event: snapshot\ndata: " + snapshot_ + "\n\n";
                    }
                    *sent = version_;
                }
                return sink.write(out.data(), out.size());
            },
            [this](bool) { eventClients_.fetch_sub(1); });
    });
    if (!s.bind_to_port(host.c_str(), port)) {
        error = "cannot listen on " + host + ":" + std::to_string(port);
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // httplib's stop() does nothing before the loop runs: wait for it, so
    // that a quick Stop cannot leave the thread listening forever.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void WebServer::Publish(std::string snapshot, std::string delta) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot_ = std::move(snapshot);
        delta_ = std::move(delta);
        ++version_;
    }
    changed_.notify_all();
}

void WebServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

}  // namespace velmir::net

// One MQTT connection through libmosquitto (MQTT 5, nothing specific to
// one broker), driven from the caller's own poll loop: no thread of its own,
// so that many sessions can share one process. Reconnects with backoff.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "net/pilot/Pilot.h"

struct mosquitto;
struct mosquitto_message;

namespace velmir::net {

struct BrokerOptions {
    std::string Host = "127.0.0.1";
    int Port = 1883;
    std::string ClientId;
    std::string Username, Password;  // no credentials when Username is empty
    std::string TlsCa;               // TLS when set
    std::string WillTopic;           // empty retained message there when we vanish
    int KeepAliveSeconds = 10;
};

enum class BrokerFailure {
    None,
    BadAddress,  // host does not resolve, or the options are invalid
    Refused,     // credentials refused or not authorised
    Tls,         // handshake or certificate failure
    Other,
};

class MqttSession : public NetworkPort {
  public:
    // `retained`: the broker kept the message from earlier (MQTT's retain flag).
    using MessageHandler =
        std::function<void(const char* topic, const std::uint8_t*, std::size_t, bool retained)>;

    MqttSession();
    ~MqttSession() override;
    MqttSession(const MqttSession&) = delete;
    MqttSession& operator=(const MqttSession&) = delete;

    // Sets the session up and makes the first connection attempt. A broker
    // that merely does not answer yet is not a failure: Service retries.
    BrokerFailure Start(const BrokerOptions&, std::string& error);
    // Reads, writes and keeps alive without waiting (poll Socket() first,
    // for POLLOUT too when WantsWrite()); reconnects when the time has come.
    // Returns a failure only for the fatal kinds (refused before ever being
    // accepted, TLS before ever connecting).
    BrokerFailure Service(double now, std::string& error);
    int Socket() const;
    bool WantsWrite() const;
    bool Connected() const { return connected_; }
    // True once after each accepted CONNECT: the caller subscribes again.
    bool TakeJustConnected();
    void SetMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }
    void Disconnect();  // clean: no last will

    std::uint64_t Connects() const { return connects_; }

    bool Publish(const std::string& topic, const std::uint8_t* data, std::size_t length, int qos,
                 bool retain) override;
    void Subscribe(const std::string& filter, int qos) override;
    void Unsubscribe(const std::string& filter) override;

  private:
    static void OnConnect(mosquitto*, void*, int);
    static void OnDisconnect(mosquitto*, void*, int);
    static void OnMessage(mosquitto*, void*, const mosquitto_message*);
    void Lost(double now);

    mosquitto* mosq_ = nullptr;
    std::string where_;  // host:port, for messages
    MessageHandler handler_;
    bool connected_ = false, socketOpen_ = false, justConnected_ = false, everAccepted_ = false;
    int refusedCode_ = -1;
    double retryAt_ = 0, backoff_ = 0.5;
    std::uint64_t connects_ = 0;
    std::mt19937 random_;
};

}  // namespace velmir::net

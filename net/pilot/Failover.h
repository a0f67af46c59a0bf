// One pilot's link to a network of several brokers: it stays with one broker
// while that broker answers, and moves to the next one in its list when the
// broker has been gone (or never answered) for a few seconds. Bridged
// brokers carry the same topics, so the move is invisible to other pilots
// beyond a short gap.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/pilot/Mqtt.h"

namespace velmir::net {

class FailoverSession : public NetworkPort {
  public:
    // brokers: at least one; the first is the home broker.
    explicit FailoverSession(std::vector<BrokerOptions> brokers, double moveAfterSeconds = 3.0);

    BrokerFailure Start(double now, std::string& error);
    // As MqttSession::Service; moves on when the broker stayed away. A
    // broker that refuses us (credentials, TLS) is left for good, but only
    // when every broker in the list has refused is that a failure: a spare
    // with other credentials must not end a pilot whose home broker is
    // merely restarting.
    BrokerFailure Service(double now, std::string& error);
    int Socket() const { return session_ ? session_->Socket() : -1; }
    bool WantsWrite() const { return session_ && session_->WantsWrite(); }
    bool Connected() const { return session_ && session_->Connected(); }
    bool TakeJustConnected() { return session_ && session_->TakeJustConnected(); }
    void SetMessageHandler(MqttSession::MessageHandler handler);
    void Disconnect();

    std::size_t Current() const { return current_; }  // index into the list
    const BrokerOptions& CurrentBroker() const { return brokers_[current_]; }
    int Moves() const { return moves_; }

    bool Publish(const std::string& topic, const std::uint8_t* data, std::size_t length, int qos,
                 bool retain) override;
    void Subscribe(const std::string& filter, int qos) override;
    void Unsubscribe(const std::string& filter) override;

  private:
    BrokerFailure Open(double now, std::string& error);
    // The next broker after the current one that has not refused us;
    // the current one when there is none.
    std::size_t NextUsable() const;

    std::vector<BrokerOptions> brokers_;
    double moveAfter_;
    std::size_t current_ = 0;
    std::unique_ptr<MqttSession> session_;
    MqttSession::MessageHandler handler_;
    double awaySince_ = 0;  // since when the current broker is not connected
    bool away_ = true;
    int moves_ = 0;
    std::vector<bool> refused_;  // per broker: refused credentials or TLS
};

// The password from the first line of `path` (a trailing CR dropped). False,
// with `error` set, when the file cannot be read or that line is empty; a
// file others may read is taken with a warning on stderr.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

// One copy of `common` per "HOST[:PORT]" text, each on its own address (port
// 1883, or 8883 with TLS, when the text names none). False, with `error`
// set, on a malformed address.
bool BrokerList(const std::vector<std::string>& texts, const BrokerOptions& common,
                std::vector<BrokerOptions>& out, std::string& error);

// The program's exit code for a broker failure (net/pilot/Exit.h); ExitOk
// for none.
int ExitCodeOf(BrokerFailure);

}  // namespace velmir::net

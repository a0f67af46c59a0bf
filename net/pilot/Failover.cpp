#include "net/pilot/Failover.h"

#include "client/Platform.h"
#include "net/pilot/Address.h"
#include "net/pilot/Exit.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace velmir::net {

FailoverSession::FailoverSession(std::vector<BrokerOptions> brokers, double moveAfterSeconds)
    : brokers_(std::move(brokers)), moveAfter_(moveAfterSeconds), refused_(brokers_.size()) {}

void FailoverSession::SetMessageHandler(MqttSession::MessageHandler handler) {
    handler_ = std::move(handler);
    if (session_) session_->SetMessageHandler(handler_);
}

BrokerFailure FailoverSession::Open(double now, std::string& error) {
    session_ = std::make_unique<MqttSession>();
    session_->SetMessageHandler(handler_);
    away_ = true;
    awaySince_ = now;
    return session_->Start(brokers_[current_], error);
}

BrokerFailure FailoverSession::Start(double now, std::string& error) {
    if (brokers_.empty()) {
        error = "no broker given";
        return BrokerFailure::BadAddress;
    }
    return Open(now, error);
}

std::size_t FailoverSession::NextUsable() const {
    for (std::size_t step = 1; step < brokers_.size(); ++step) {
        const std::size_t i = (current_ + step) % brokers_.size();
        if (!refused_[i]) return i;
    }
    return current_;
}

BrokerFailure FailoverSession::Service(double now, std::string& error) {
    if (!session_) return BrokerFailure::Other;
    BrokerFailure failure = session_->Service(now, error);
    bool move = false;
    if (failure == BrokerFailure::Refused || failure == BrokerFailure::Tls) {
        refused_[current_] = true;
        if (std::find(refused_.begin(), refused_.end(), false) == refused_.end()) return failure;
        move = true;  // this one is unusable; the others may still take us
    } else if (failure != BrokerFailure::None) {
        return failure;
    } else if (session_->Connected()) {
        away_ = false;
        return BrokerFailure::None;
    }
    if (!away_) {
        away_ = true;
        awaySince_ = now;
    }
    if (move || now - awaySince_ >= moveAfter_) {
        const std::size_t next = NextUsable();
        // The only usable broker left retries by itself (with backoff).
        if (next == current_ && !refused_[current_]) return BrokerFailure::None;
        current_ = next;
        ++moves_;
        failure = Open(now, error);
        // A bad address among the spares is skipped like a dead broker, a
        // spare's unusable TLS setup like a refusal.
        while (failure == BrokerFailure::Tls) {
            refused_[current_] = true;
            if (NextUsable() == current_) return failure;
            current_ = NextUsable();
            failure = Open(now, error);
        }
        if (failure == BrokerFailure::Other) return failure;
        error.clear();
    }
    return BrokerFailure::None;
}

void FailoverSession::Disconnect() {
    if (session_) session_->Disconnect();
}

bool FailoverSession::Publish(const std::string& topic, const std::uint8_t* data,
                              std::size_t length, int qos, bool retain) {
    return session_ && session_->Publish(topic, data, length, qos, retain);
}

void FailoverSession::Subscribe(const std::string& filter, int qos) {
    if (session_) session_->Subscribe(filter, qos);
}

void FailoverSession::Unsubscribe(const std::string& filter) {
    if (session_) session_->Unsubscribe(filter);
}

int ExitCodeOf(BrokerFailure failure) {
    switch (failure) {
    case BrokerFailure::None: return ExitOk;
    case BrokerFailure::BadAddress: return ExitUsage;
    case BrokerFailure::Refused: return ExitRefused;
    case BrokerFailure::Tls: return ExitTls;
    case BrokerFailure::Other: return ExitOther;
    }
    return ExitOther;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    std::ifstream in(platform::PathFromUtf8(path));
    if (!in || !std::getline(in, password)) {
        error = "cannot read password file '" + path + "'";
        return false;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) {
        error = "password file '" + path + "' starts with an empty line";
        return false;
    }
    // A password others may read is no secret.
    if (platform::OthersMayRead(path))
        std::fprintf(stderr,
                     "velmir-net: warning: password file '%s' is readable by others "
                     "(chmod 600 it)\n",
                     path.c_str());
    return true;
}

bool BrokerList(const std::vector<std::string>& texts, const BrokerOptions& common,
                std::vector<BrokerOptions>& out, std::string& error) {
    BrokerOptions broker = common;
    for (const std::string& text : texts) {
        broker.Port = common.TlsCa.empty() ? 1883 : 8883;
        if (!SplitHostPort(text, broker.Host, broker.Port)) {
            error = "bad broker address '" + text + "' (HOST[:PORT])";
            return false;
        }
        out.push_back(broker);
    }
    return true;
}

}  // namespace velmir::net

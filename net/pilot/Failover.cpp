#include "net/pilot/Failover.h"

namespace velmir::net {

FailoverSession::FailoverSession(std::vector<BrokerOptions> brokers, double moveAfterSeconds)
    : brokers_(std::move(brokers)), moveAfter_(moveAfterSeconds) {}

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

BrokerFailure FailoverSession::Service(double now, std::string& error) {
    if (!session_) return BrokerFailure::Other;
    const BrokerFailure failure = session_->Service(now, error);
    if (failure != BrokerFailure::None) return failure;
    if (session_->Connected()) {
        away_ = false;
        return BrokerFailure::None;
    }
    if (!away_) {
        away_ = true;
        awaySince_ = now;
    }
    if (brokers_.size() > 1 && now - awaySince_ >= moveAfter_) {
        current_ = (current_ + 1) % brokers_.size();
        ++moves_;
        std::string ignored;
        const BrokerFailure next = Open(now, ignored);
        // A bad address among the spares is skipped like a dead broker.
        if (next != BrokerFailure::None && next != BrokerFailure::BadAddress) return next;
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

}  // namespace velmir::net

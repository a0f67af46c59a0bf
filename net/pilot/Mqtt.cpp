#include "net/pilot/Mqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>

#include "client/Platform.h"
#include "net/pilot/Wire.h"

namespace velmir::net {

namespace {
constexpr double FirstBackoffSeconds = 0.5;
constexpr double MaxBackoffSeconds = 5.0;
// MQTT 3.1.1 CONNACK codes 4 (bad user name or password) and 5 (not
// authorised); MQTT 5 reason codes for the same.
bool IsRefusal(int code) { return code == 4 || code == 5 || code == 0x86 || code == 0x87; }
}  // namespace

MqttSession::MqttSession() : random_(std::random_device{}()) {
    // libmosquitto's own start-up, once per process and never undone: one
    // session ending must not pull it from under the others.
    static const bool started = (mosquitto_lib_init(), true);
    (void)started;
}

MqttSession::~MqttSession() {
    if (mosq_) mosquitto_destroy(mosq_);
}

BrokerFailure MqttSession::Start(const BrokerOptions& o, std::string& error) {
    mosq_ = mosquitto_new(o.ClientId.empty() ? nullptr : o.ClientId.c_str(), true, this);
    if (!mosq_) {
        error = "cannot create the MQTT client";
        return BrokerFailure::Other;
    }
    // MQTT 5 for its no-local option: our own samples are not sent back to us,
    // which spares the broker one delivery for every sample we publish.
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Samples are small and perishable: no Nagle delay (40 ms with delayed ACKs).
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, &MqttSession::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttSession::OnDisconnect);
    mosquitto_message_callback_set(mosq_, &MqttSession::OnMessage);
    if (!o.WillTopic.empty() &&
        mosquitto_will_set(mosq_, o.WillTopic.c_str(), 0, nullptr, 1, true) != MOSQ_ERR_SUCCESS) {
        error = "invalid last-will topic '" + o.WillTopic + "'";
        return BrokerFailure::BadAddress;
    }
    if (!o.Username.empty() && mosquitto_username_pw_set(mosq_, o.Username.c_str(),
                                                         o.Password.c_str()) != MOSQ_ERR_SUCCESS) {
        error = "invalid user name or password";
        return BrokerFailure::BadAddress;
    }
    if (!o.TlsCa.empty()) {
        const std::string ca = platform::PathForNarrowLibraries(o.TlsCa);
        const int rc = mosquitto_tls_set(mosq_, ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "TLS: cannot use CA file '" + o.TlsCa + "': " + mosquitto_strerror(rc);
            return BrokerFailure::Tls;
        }
    }
    const int rc = mosquitto_connect(mosq_, o.Host.c_str(), o.Port, o.KeepAliveSeconds);
    where_ = o.Host + ":" + std::to_string(o.Port);
    const std::string& where = where_;
    switch (rc) {
    case MOSQ_ERR_SUCCESS: socketOpen_ = true; return BrokerFailure::None;
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
        error = "bad broker address '" + where + "': " + mosquitto_strerror(rc);
        return BrokerFailure::BadAddress;
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        error = "TLS failure with broker " + where + ": " + mosquitto_strerror(rc);
        return BrokerFailure::Tls;
    default:
        // Not there yet (or restarting): keep trying.
        error = "broker " + where + " unreachable (" + mosquitto_strerror(rc) + "), retrying";
        Lost(0);
        return BrokerFailure::None;
    }
}

void MqttSession::Lost(double now) {
    connected_ = false;
    socketOpen_ = false;
    std::uniform_real_distribution<double> spread(0.8, 1.2);  // many pilots, not in lockstep
    retryAt_ = now + backoff_ * spread(random_);
    backoff_ = std::min(MaxBackoffSeconds, backoff_ * 2);
}

BrokerFailure MqttSession::Service(double now, std::string& error) {
    if (!mosq_) return BrokerFailure::Other;
    auto fatal = [&](int rc) {
        if (refusedCode_ >= 0 && !everAccepted_) {
            error = "broker " + where_ +
                    " refused the connection: " + mosquitto_reason_string(refusedCode_);
            return BrokerFailure::Refused;
        }
        if ((rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) && !everAccepted_) {
            error = "TLS failure with broker " + where_ + " (" + mosquitto_strerror(rc) +
                    "): its certificate is not trusted by --tls-ca, or the handshake failed";
            return BrokerFailure::Tls;
        }
        return BrokerFailure::None;
    };
    if (!socketOpen_) {
        if (retryAt_ > 0 && now < retryAt_) return BrokerFailure::None;
        // Without blocking: a broker that drops our packets must not stall
        // the plugin link. The connection completes inside mosquitto_loop.
        const int rc = mosquitto_reconnect_async(mosq_);
        if (rc == MOSQ_ERR_SUCCESS) {
            socketOpen_ = true;
            return BrokerFailure::None;
        }
        Lost(now);
        return fatal(rc);
    }
    // The caller's poll has waited; this only does what is ready now.
    // mosquitto_loop also finishes pending connects and TLS handshakes, but
    // it uses select(): past FD_SETSIZE sockets (many pilots in one process)
    // the session reads and writes by itself instead.
    int rc;
    if (platform::SelectCanWatch(mosquitto_socket(mosq_))) {
        rc = mosquitto_loop(mosq_, 0, 1);
    } else {
        rc = mosquitto_loop_read(mosq_, 1);
        if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_))
            rc = mosquitto_loop_write(mosq_, 1);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq_);
    }
    const BrokerFailure failure = fatal(rc);
    if (failure != BrokerFailure::None) return failure;
    if (rc != MOSQ_ERR_SUCCESS) Lost(now);
    return BrokerFailure::None;
}

int MqttSession::Socket() const { return socketOpen_ && mosq_ ? mosquitto_socket(mosq_) : -1; }

bool MqttSession::WantsWrite() const { return socketOpen_ && mosq_ && mosquitto_want_write(mosq_); }

bool MqttSession::TakeJustConnected() {
    const bool was = justConnected_;
    justConnected_ = false;
    return was;
}

void MqttSession::Disconnect() {
    if (mosq_ && socketOpen_) {
        // Let queued messages (the cleared identity) go out first.
        for (int i = 0; i < 20 && mosquitto_want_write(mosq_); ++i) mosquitto_loop_write(mosq_, 16);
        mosquitto_disconnect(mosq_);
    }
    connected_ = socketOpen_ = false;
}

bool MqttSession::Publish(const std::string& topic, const std::uint8_t* data, std::size_t length,
                          int qos, bool retain) {
    if (!connected_) return false;  // samples perish; the identity is sent again on connect
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(length), data, qos,
                             retain) == MOSQ_ERR_SUCCESS;
}

void MqttSession::Subscribe(const std::string& filter, int qos) {
    if (!connected_) return;
    // Never our own messages back; no retained search for cells of samples.
    const int options =
        MQTT_SUB_OPT_NO_LOCAL | (IsPositionFilter(filter) ? MQTT_SUB_OPT_SEND_RETAIN_NEVER : 0);
    mosquitto_subscribe_v5(mosq_, nullptr, filter.c_str(), qos, options, nullptr);
}

void MqttSession::Unsubscribe(const std::string& filter) {
    if (connected_) mosquitto_unsubscribe(mosq_, nullptr, filter.c_str());
}

void MqttSession::OnConnect(mosquitto*, void* self, int rc) {
    auto* s = static_cast<MqttSession*>(self);
    if (rc == 0) {
        s->connected_ = s->justConnected_ = s->everAccepted_ = true;
        s->backoff_ = FirstBackoffSeconds;
        ++s->connects_;
    } else if (IsRefusal(rc)) {
        s->refusedCode_ = rc;
    }
}

void MqttSession::OnDisconnect(mosquitto*, void* self, int) {
    auto* s = static_cast<MqttSession*>(self);
    s->connected_ = false;
}

void MqttSession::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* s = static_cast<MqttSession*>(self);
    // libmosquitto has read the whole packet by now (it enforces no limit of
    // its own): the broker's max_packet_size is what bounds it.
    // The pilot refuses an oversized payload by its length before reading it.
    if (s->handler_ && m && m->topic)
        s->handler_(m->topic, static_cast<const std::uint8_t*>(m->payload),
                    m->payloadlen > 0 ? static_cast<std::size_t>(m->payloadlen) : 0, m->retain);
}

}  // namespace velmir::net

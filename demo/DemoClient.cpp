#include "demo/DemoClient.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <variant>

namespace velmir::demo {

namespace {

constexpr double TickSeconds = 0.1;
constexpr double ModelEverySeconds = 5.0;

}  // namespace

DemoClient::DemoClient(client::Scenario scenario, ClientOptions options)
    : scenario_(std::move(scenario)), options_(std::move(options)) {
    state_.Samples.resize(scenario_.Aircraft.size());
}

DemoClient::~DemoClient() { Stop(); }

bool DemoClient::Start(std::string& error) {
    for (const client::ScenarioAircraft& a : scenario_.Aircraft)
        if (!client::WriteSlotFolder(options_.Root, a.Slot, error)) return false;
    if (!link_.Open(options_.Host, client::DefaultPort)) {
        error = link_.LastError();
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void DemoClient::Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

ClientState DemoClient::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

bool DemoClient::Streaming(double& startClock) const {
    std::lock_guard<std::mutex> lock(mutex_);
    startClock = state_.StartClock;
    return state_.Streaming;
}

bool DemoClient::SendCounted(const std::uint8_t* data, std::size_t length) {
    const bool ok = link_.SendRaw(data, length);
    std::lock_guard<std::mutex> lock(mutex_);
    ++(ok ? state_.Sent : state_.SendFailures);
    return ok;
}

void DemoClient::Record(const client::Received& received) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!received.Result.Ok()) {
        ++state_.Undecodable;
        return;
    }
    const client::Message& message = received.Result.Value;
    ++state_.ReceivedByType[message.index()];
    if (const auto* position = std::get_if<client::PositionReport>(&message)) {
        if (position->AircraftIndex != 0) return;
        UserReport r;
        r.ReceivedAt = client::MonotonicSeconds();
        r.Latitude = position->Latitude;
        r.Longitude = position->Longitude;
        r.Altitude = position->Altitude;
        r.GroundSpeed = std::hypot(double(position->VelocityX), double(position->VelocityZ));
        r.Heading = position->Heading;
        state_.UserReports.push_back(r);
    } else if (const auto* model = std::get_if<client::ModelReport>(&message)) {
        if (model->AircraftIndex != 0) return;
        state_.UserTail = model->TailNumber;
        state_.UserModel = model->ModelName;
    } else if (const auto* info = std::get_if<client::InfoReport>(&message)) {
        state_.SimVersion = info->SimVersion;
    }
}

void DemoClient::Run() {
    auto fail = [this](const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex_);
        state_.Error = why;
    };
    if (!link_.Connect(1)) {
        fail("cannot connect: " + link_.LastError());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_.Connected = true;
    }
    std::uint8_t buffer[client::MaxMessageLength];
    auto send = [&](const auto& message) {
        SendCounted(buffer, client::Encode(message, buffer, link_.LinkTag()));
    };

    client::InfoReport labels;
    labels.LabelFlags = options_.LabelFlags;
    labels.LabelColourArgb = options_.LabelColour & 0xFFFFFFu;
    send(labels);
    for (const client::ScenarioAircraft& a : scenario_.Aircraft) send(client::ScenarioModel(a));

    const double start = client::MonotonicSeconds();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_.StartClock = start;
        state_.Streaming = true;
    }
    double lastModels = start;
    for (long tick = 0; !stop_.load(); ++tick) {
        // Each sample is stamped with the moment it describes, so what the
        // summary calls the smoothing error is the plugin's alone, not the
        // sender's scheduling.
        const double elapsed = tick * TickSeconds;
        const double due = start + elapsed;
        while (!stop_.load() && client::MonotonicSeconds() < due) {
            if (auto received = link_.Receive(5)) Record(*received);
        }
        if (stop_.load()) break;
        while (auto received = link_.Receive(0)) Record(*received);
        if (link_.State() == client::LinkState::PeerDisconnected) {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.PeerDisconnected = true;
            return;
        }
        if (due - lastModels >= ModelEverySeconds) {
            for (const client::ScenarioAircraft& a : scenario_.Aircraft)
                send(client::ScenarioModel(a));
            lastModels = due;
        }
        for (std::size_t i = 0; i < scenario_.Aircraft.size(); ++i) {
            const client::ScenarioAircraft& a = scenario_.Aircraft[i];
            const client::PositionReport p = client::ScenarioPosition(a, elapsed, due);
            send(p);
            std::lock_guard<std::mutex> lock(mutex_);
            state_.Samples[i].push_back({elapsed, p.Latitude, p.Longitude, p.Altitude});
        }
    }
    link_.Disconnect();
}

}  // namespace velmir::demo

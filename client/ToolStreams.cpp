// velmir-client's streams: a track flown as the user aircraft, a scenario's
// remote aircraft injected through a simulated poor network.
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "client/Tool.h"

namespace velmir::client::tool {

bool DrainAndCheck(Connection& link) {
    while (link.Receive(0)) {
    }
    if (link.State() == LinkState::PeerDisconnected) {
        Note("the plugin ended the connection");
        return false;
    }
    return true;
}

int Fly(const Target& target, const Arguments& args) {
    ExpectPositional(args, 1, 1, "fly TRACK");
    Track track;
    std::string error;
    if (!LoadTrack(args.Positional[0], track, error)) Fail(error);

    Connection link;
    if (!OpenAndConnect(link, target, true)) return ExitFailure;
    char summary[96];
    std::snprintf(summary, sizeof summary, "flying %zu rows over %.1f s", track.Rows.size(),
                  track.Duration());
    Note(summary);

    const double start = MonotonicSeconds();
    double lastTime = 0;
    for (long tick = 0; !StopRequested; ++tick) {
        const double elapsed = tick * TickSeconds;
        if (elapsed > track.Duration() + 1e-9) break;
        WaitUntil(link, start + elapsed, [](const Received&) {});
        if (StopRequested) break;
        if (!DrainAndCheck(link)) return ExitFailure;

        const TrackState state = SampleTrack(track, elapsed);
        // The plugin applies a sample only when its Time is later than the last.
        double now = MonotonicSeconds();
        if (now <= lastTime) now = std::nextafter(lastTime, 1e300);
        lastTime = now;
        bool ok = link.Send(TrackPosition(state, now));
        if (track.HasInstruments) ok = link.Send(TrackInstruments(state)) && ok;
        if (track.HasPropellers)
            for (int element = 0; element < 4; ++element)
                ok = link.Send(TrackPropeller(state, element)) && ok;
        if (!ok) Note(link.LastError());
    }
    Note(StopRequested ? "stopped; the simulator takes control back about 1 s from now"
                       : "track done; the simulator takes control back about 1 s from now");
    return ExitOk;
}

int Inject(const Target& target, const Arguments& args) {
    ExpectPositional(
        args, 1, 1,
        "inject SCENARIO [--root DIR] [--jitter MS] [--latency MS] [--loss PCT] [--seconds N]");
    Scenario scenario;
    std::string error;
    if (!LoadScenario(args.Positional[0], scenario, error)) Fail(error);
    const std::string root = args.Values.count("root") ? args.Values.at("root") : ".";
    Impairment impairment;
    impairment.JitterMs = OptionalNumber(args, "jitter", 0, 0, 10000);
    impairment.LatencyMs = OptionalNumber(args, "latency", 0, 0, 10000);
    impairment.LossPercent = OptionalNumber(args, "loss", 0, 0, 100);
    const double seconds = OptionalNumber(args, "seconds", 0, 0, 1e9);
    const auto seed = static_cast<std::uint32_t>(
        args.Values.count("seed") ? IntegerArg(args.Values.at("seed"), "--seed", 0, 4294967295LL)
                                  : 7472);

    for (const ScenarioAircraft& a : scenario.Aircraft) {
        if (!WriteSlotFolder(root, a.Slot, error)) {
            Note(error);
            return ExitFailure;
        }
    }
    Note("wrote " + std::to_string(scenario.Aircraft.size()) + " slot folders under " +
         std::filesystem::path(SlotFolder(root, 1)).parent_path().string());

    Connection link;
    if (!OpenAndConnect(link, target, true)) return ExitFailure;
    // The first models go out unimpaired so every slot is described at once.
    for (const ScenarioAircraft& a : scenario.Aircraft) link.Send(ScenarioModel(a));

    ImpairedLink network(impairment, seed);
    constexpr double ModelEverySeconds = 5.0;
    const double start = MonotonicSeconds();
    double lastModels = start;
    double lastTime = 0;
    std::uint64_t sent = 0;
    std::uint8_t buffer[MaxMessageLength];
    for (long tick = 0; !StopRequested; ++tick) {
        const double elapsed = tick * TickSeconds;
        if (seconds > 0 && elapsed > seconds) break;
        // Deliver queued datagrams while waiting for the next tick.
        const double tickAt = start + elapsed;
        while (!StopRequested && MonotonicSeconds() < tickAt) {
            for (const auto& datagram : network.TakeDue(MonotonicSeconds()))
                if (link.SendRaw(datagram.data(), datagram.size())) ++sent;
            link.Receive(
                std::max(1, std::min(10, static_cast<int>((tickAt - MonotonicSeconds()) * 1000))));
        }
        if (StopRequested) break;
        if (!DrainAndCheck(link)) return ExitFailure;

        double now = MonotonicSeconds();
        if (now <= lastTime) now = std::nextafter(lastTime, 1e300);
        lastTime = now;
        if (now - lastModels >= ModelEverySeconds) {
            for (const ScenarioAircraft& a : scenario.Aircraft)
                network.Submit(buffer, Encode(ScenarioModel(a), buffer, link.LinkTag()), now);
            lastModels = now;
        }
        for (const ScenarioAircraft& a : scenario.Aircraft)
            network.Submit(buffer,
                           Encode(ScenarioPosition(a, elapsed, now), buffer, link.LinkTag()), now);
        for (const auto& datagram : network.TakeDue(now))
            if (link.SendRaw(datagram.data(), datagram.size())) ++sent;
    }
    link.Disconnect();
    Note("sent " + std::to_string(sent) + " datagrams, dropped " +
         std::to_string(network.Dropped()) + "; disconnected");
    return ExitOk;
}

}  // namespace velmir::client::tool

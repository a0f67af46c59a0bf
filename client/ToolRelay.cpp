// velmir-client relay: two plugins, each shown the other's user aircraft.
#include <poll.h>

#include <cctype>
#include <filesystem>
#include <fstream>

#include "client/Tool.h"

namespace velmir::client::tool {

// ----------------------------------------------------------------- relay --

struct ModelMapEntry {
    std::string Match;
    std::string Folder;
};

std::vector<ModelMapEntry> LoadModelMap(const std::string& path) {
    std::ifstream in(path);
    if (!in) Fail("cannot open model map '" + path + "'");
    std::vector<ModelMapEntry> entries;
    std::string line;
    bool tooLong = false;
    int number = 0;
    while (ReadBoundedLine(in, line, 4096, tooLong)) {
        ++number;
        if (tooLong) Fail(path + ": line " + std::to_string(number) + ": longer than 4096 bytes");
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::vector<std::string> words;
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
            std::size_t j = i;
            while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j]))) ++j;
            if (j > i) words.push_back(line.substr(i, j - i));
            i = j;
        }
        if (words.empty()) continue;
        if (words.size() != 2)
            Fail(path + ": line " + std::to_string(number) + ": expected MATCH FOLDER");
        if (!std::filesystem::is_directory(words[1]))
            Fail(path + ": line " + std::to_string(number) + ": '" + words[1].substr(0, 80) +
                 "' is not a folder");
        entries.push_back({words[0], words[1]});
    }
    return entries;
}

// Fills slot 1 under `root` for a model: a mapped folder's files, or our mesh.
bool PrepareRelaySlot(const std::string& root, const std::string& model,
                      const std::vector<ModelMapEntry>& map, std::string& error) {
    for (const ModelMapEntry& entry : map) {
        if (model.find(entry.Match) == std::string::npos) continue;
        std::error_code code;
        const std::filesystem::path folder = SlotFolder(root, 1);
        std::filesystem::create_directories(folder, code);
        if (!code)
            std::filesystem::copy(entry.Folder, folder,
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::overwrite_existing,
                                  code);
        if (code) {
            error = "cannot copy '" + entry.Folder + "': " + code.message();
            return false;
        }
        return true;
    }
    return WriteSlotFolder(root, 1, error);
}

struct RelaySide {
    const char* Name;
    Target Where;
    std::string Root;
    Connection Link;
    std::string LastModel;
    bool HaveModel = false;
};

int Relay(const Target& base, const Arguments& args) {
    ExpectPositional(args, 0, 0, "relay --a HOST:PORT --b HOST:PORT");
    if (!args.Values.count("a") || !args.Values.count("b")) Fail("relay needs --a and --b");
    RelaySide sides[2];
    sides[0].Name = "a";
    sides[1].Name = "b";
    sides[0].Where = ParseEndpoint(args.Values.at("a"), "--a");
    sides[1].Where = ParseEndpoint(args.Values.at("b"), "--b");
    sides[0].Root = args.Values.count("a-root") ? args.Values.at("a-root") : ".";
    sides[1].Root = args.Values.count("b-root") ? args.Values.at("b-root") : ".";
    const std::vector<ModelMapEntry> map = args.Values.count("models")
                                               ? LoadModelMap(args.Values.at("models"))
                                               : std::vector<ModelMapEntry>{};
    const double seconds = OptionalNumber(args, "seconds", 0, 0, 1e9);
    for (RelaySide& side : sides) {
        side.Where.Tag = base.Tag;
        if (!OpenAndConnect(side.Link, side.Where, true)) return ExitFailure;
        Note(std::string("side ") + side.Name + ": " + FormatAddress(side.Link.Target()));
    }

    const double start = MonotonicSeconds();
    double lastKeepAlive = start;
    while (!StopRequested) {
        const double now = MonotonicSeconds();
        if (seconds > 0 && now - start >= seconds) break;
        if (now - lastKeepAlive >= KeepAliveSeconds) {
            for (RelaySide& side : sides) side.Link.Send(SecondaryControlsReport{});
            lastKeepAlive = now;
        }
        pollfd waiters[2] = {{sides[0].Link.NativeHandle(), POLLIN, 0},
                             {sides[1].Link.NativeHandle(), POLLIN, 0}};
        if (::poll(waiters, 2, 200) <= 0) continue;
        for (int from = 0; from < 2; ++from) {
            RelaySide& source = sides[from];
            RelaySide& sink = sides[1 - from];
            while (auto received = source.Link.Receive(0)) {
                if (source.Link.State() == LinkState::PeerDisconnected) {
                    Note(std::string("side ") + source.Name + " ended the connection");
                    sink.Link.Disconnect();
                    return ExitFailure;
                }
                if (!received->Result.Ok()) continue;
                Message& message = received->Result.Value;
                if (auto* position = std::get_if<PositionReport>(&message)) {
                    if (position->AircraftIndex != 0 || !sink.HaveModel) continue;
                    PositionReport copy = *position;
                    copy.AircraftIndex = 1;
                    // The report carries a real radio altitude: let the other
                    // side set the aircraft on its own terrain when low.
                    copy.PositionFlags |= 0x02;
                    sink.Link.Send(copy);
                } else if (auto* model = std::get_if<ModelReport>(&message)) {
                    if (model->AircraftIndex != 0) continue;
                    if (!sink.HaveModel || model->ModelName != sink.LastModel) {
                        std::string error;
                        if (!PrepareRelaySlot(sink.Root, model->ModelName, map, error)) {
                            Note(error);
                            return ExitFailure;
                        }
                        sink.LastModel = model->ModelName;
                        sink.HaveModel = true;
                        Note(std::string("side ") + source.Name + " flies '" + model->ModelName +
                             "'");
                    }
                    ModelReport copy = *model;
                    copy.AircraftIndex = 1;
                    if (copy.DisplayName.empty())
                        copy.DisplayName = std::string("pilot ") + source.Name;
                    sink.Link.Send(copy);
                }
            }
        }
    }
    for (RelaySide& side : sides) side.Link.Disconnect();
    Note("disconnected both sides");
    return ExitOk;
}

}  // namespace velmir::client::tool

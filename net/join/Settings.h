// Where `join` finds what the command line leaves out: the settings file
// (velmir-net.ini) and the simulator's folder, from the folders X-Plane's
// installer records. Both let a pilot start velmir-net with a double click.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmir::net {

constexpr const char* SettingsFileName = "velmir-net.ini";

// The settings file to read when none is named: velmir-net.ini beside the
// program if there is one, else the one in the user's settings folder
// (which need not exist; --write-config writes there).
std::filesystem::path DefaultSettingsFile(const std::filesystem::path& programFolder,
                                          const std::filesystem::path& userFolder);

struct FoundRoot {
    std::string Root;  // UTF-8, as the installer wrote it (trailing separator dropped)
    std::string From;  // the file that named it
};

// Reads x-plane_install_12.txt, then x-plane_install_11.txt, in
// `recordFolder` (one simulator folder a line) and returns the first folder
// that holds Resources/plugins/Velmir. `filesRead` gets every file looked
// for, so that failing can name them.
std::optional<FoundRoot> FindSimulatorRoot(const std::filesystem::path& recordFolder,
                                           std::vector<std::string>& filesRead);

}  // namespace velmir::net

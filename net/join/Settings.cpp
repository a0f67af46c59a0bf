#include "net/join/Settings.h"

#include <fstream>

#include "client/Platform.h"

namespace velmir::net {

namespace fs = std::filesystem;

fs::path DefaultSettingsFile(const fs::path& programFolder, const fs::path& userFolder) {
    std::error_code code;
    if (!programFolder.empty() && fs::is_regular_file(programFolder / SettingsFileName, code))
        return programFolder / SettingsFileName;
    return userFolder.empty() ? fs::path() : userFolder / SettingsFileName;
}

std::optional<FoundRoot> FindSimulatorRoot(const fs::path& recordFolder,
                                           std::vector<std::string>& filesRead) {
    if (recordFolder.empty()) return std::nullopt;
    for (const char* name : {"x-plane_install_12.txt", "x-plane_install_11.txt"}) {
        const fs::path file = recordFolder / name;
        filesRead.push_back(platform::PathToUtf8(file));
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            // Written on Windows with CR LF, the folders with a final separator.
            while (!line.empty() &&
                   (line.back() == '\r' || line.back() == ' ' || line.back() == '\t' ||
                    line.back() == '/' || line.back() == '\\'))
                line.pop_back();
            if (line.empty()) continue;
            std::error_code code;
            const fs::path root = platform::PathFromUtf8(line);
            if (fs::is_directory(root / "Resources" / "plugins" / "Velmir", code))
                return FoundRoot{line, platform::PathToUtf8(file)};
        }
    }
    return std::nullopt;
}

}  // namespace velmir::net

// velmir-wine-check: what its stages share (WineCheck.cpp runs the live
// stages, WineReport.cpp checks the run report).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmir::winecheck {

// What the live stage sends and the report stage looks for.
inline constexpr std::uint8_t Tag = 0x5A;
inline constexpr int Slot = 1;
inline const char* const TailNumber = "HB-WINE";  // 7 bytes: the whole TCAS flight id
inline const char* const DisplayName = "WINE1";
inline const char* const ModelName = "WineCheck";
inline constexpr double AheadMetres = 300.0;  // slot 1 flies ahead of the camera

// One printed line per check; Finish gives the exit code of a stage.
void Check(bool ok, const std::string& what);
int Finish(const char* stage);
std::string Option(const std::vector<std::string>& args, const std::string& name,
                   const std::string& fallback = "");

int Live(const std::vector<std::string>& args);
int Report(const std::vector<std::string>& args);

}  // namespace velmir::winecheck

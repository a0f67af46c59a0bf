// What a pilot tells the others about its aircraft besides the model path:
// the ICAO type designator, the operator and the livery, so their CSL
// packages can show it as it is instead of guessing from a file name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmir::net {

// Longest texts we publish; their wire fields hold one byte more.
constexpr std::size_t MaxIcaoTypeLength = 4;  // Doc 8643 designators: B738, C172, A20N
constexpr std::size_t MaxAirlineLength = 3;   // ICAO operator codes: SWR
constexpr std::size_t MaxLiveryLength = 39;

// 2 to 4 of A-Z 0-9, starting with a letter.
bool IsValidIcaoType(std::string_view type);
// Exactly three letters A-Z.
bool IsValidAirline(std::string_view airline);
// 1 to 39 printable ASCII characters (spaces inside, not at either end):
// CSL packages name liveries by registration or a short text.
bool IsValidLivery(std::string_view livery);

// "SWR123" flies for SWR: three letters (either case), then a digit.
std::string AirlineFromCallsign(std::string_view callsign);

// The designator in an .acf file's property line "P acf/_ICAO B738",
// upper-cased. Reads at most `maxBytes` and skips lines over 4 KiB, so a
// huge or odd file costs bounded time. Empty when there is none, it is not a
// valid designator, or the file cannot be read (`error` then says why).
constexpr std::size_t MaxAcfBytes = 64u << 20;
std::string ReadAcfIcaoType(const std::string& path, std::string& error,
                            std::size_t maxBytes = MaxAcfBytes);

}  // namespace velmir::net

#include "net/pilot/Wire.h"

#include "net/pilot/Aircraft.h"

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmir::net {

namespace {

constexpr std::string_view Prefix = "velmir/v1/";

// A zero must end the text inside its field, no control byte may come
// before it, and only zeros after it: what follows the terminator is nobody's
// text, and passing it on would let it turn up wherever a field is copied
// whole. Bytes from 0x80 up pass: model paths may hold UTF-8.
template <std::size_t N>
bool ReadCleanText(const std::uint8_t* data, Field<Bytes<N>> field, std::string& out) {
    const std::uint8_t* begin = At(data, field);
    const void* zero = std::memchr(begin, 0, N);
    if (zero == nullptr) return false;
    const std::size_t length = static_cast<const std::uint8_t*>(zero) - begin;
    for (std::size_t i = 0; i < length; ++i)
        if (begin[i] < 0x20 || begin[i] == 0x7F) return false;
    for (std::size_t i = length + 1; i < N; ++i)
        if (begin[i] != 0) return false;
    out.assign(reinterpret_cast<const char*>(begin), length);
    return true;
}

bool IsValidOrigin(std::string_view origin) {
    if (origin.empty() || origin.size() > MaxOriginLength) return false;
    for (char c : origin)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_'))
            return false;
    return true;
}

bool ParseIndex(std::string_view text, int low, int high, int& value) {
    return ParseCellIndex(text, value) && value >= low && value <= high;
}

// Degrees in a tree's cells. Sizes in whole hundredths are computed as the
// first layout always computed them, so both sides of a cell edge agree to
// the last bit with its senders.
double InCells(int tree, double degrees) {
    const int t = PositionTrees[tree].CellThousandths;
    return t % 10 == 0 ? degrees * 100.0 / (t / 10) : degrees * 1000.0 / t;
}

int TreeLatIndex(int tree, double latitude) {
    const int index = static_cast<int>(std::floor(InCells(tree, latitude)));
    return std::clamp(index, -TreeCells(tree, 90), TreeCells(tree, 90) - 1);  // the pole: top row
}

int TreeLonIndex(int tree, double longitude) {
    double lon = std::fmod(longitude + 180.0, 360.0);
    if (lon < 0) lon += 360.0;
    const int index = static_cast<int>(std::floor(InCells(tree, lon)));
    return std::min(index, TreeCells(tree, 360) - 1) - TreeCells(tree, 180);
}

bool InRange(double value, double limit) { return value >= -limit && value <= limit; }

}  // namespace

int TreeCells(int tree, int degrees) {
    return degrees * 1000 / PositionTrees[tree].CellThousandths;
}

std::uint64_t WallMicros() {
    // Since 1970 on every system we build for (C++20 makes it the rule).
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

bool ParseCellIndex(std::string_view text, int& out) {
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    // Leading zeros and "-0" would give two names for one cell.
    if (text.empty() || text.size() > 6 || (text.size() > 1 && text[0] == '0')) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (negative && value == 0) return false;
    out = negative ? -value : value;
    return true;
}

const char* ToString(DropReason r) {
    switch (r) {
    case DropReason::None: return "none";
    case DropReason::BadTopic: return "bad_topic";
    case DropReason::BadCallsign: return "bad_callsign";
    case DropReason::BadCell: return "bad_cell";
    case DropReason::WrongSize: return "wrong_size";
    case DropReason::WrongVersion: return "wrong_version";
    case DropReason::NotFinite: return "not_finite";
    case DropReason::OutOfRange: return "out_of_range";
    case DropReason::AbsurdSpeed: return "absurd_speed";
    case DropReason::WrongCell: return "wrong_cell";
    case DropReason::CallsignMismatch: return "callsign_mismatch";
    case DropReason::BadText: return "bad_text";
    case DropReason::ReservedSet: return "reserved_set";
    case DropReason::Oversized: return "oversized";
    case DropReason::Retained: return "retained";
    case DropReason::Stale: return "stale";
    case DropReason::Count: break;
    }
    return "unknown";
}

bool IsValidCallsign(std::string_view callsign) {
    if (callsign.empty() || callsign.size() > MaxCallsignLength) return false;
    for (char c : callsign)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

Cell CellOf(double latitude, double longitude) {
    Cell c;
    c.Lat = static_cast<int>(std::floor(latitude));
    if (c.Lat > 89) c.Lat = 89;  // the pole itself belongs to the top row
    if (c.Lat < -90) c.Lat = -90;
    double lon = std::fmod(longitude + 180.0, 360.0);
    if (lon < 0) lon += 360.0;
    c.Lon = static_cast<int>(std::floor(lon)) - 180;
    if (c.Lon > 179) c.Lon = 179;  // fmod rounding just under 360
    return c;
}

Cell TreeCellOf(int tree, double latitude, double longitude) {
    // Rounding near a whole degree must not put the cell in another
    // 1-degree cell than the sample: listeners check that.
    const Cell parent = CellOf(latitude, longitude);
    const int per = TreeCells(tree, 1);
    return Cell{
        std::clamp(TreeLatIndex(tree, latitude), parent.Lat * per, parent.Lat * per + per - 1),
        std::clamp(TreeLonIndex(tree, longitude), parent.Lon * per, parent.Lon * per + per - 1)};
}

bool IsPositionFilter(std::string_view filter) {
    if (filter.substr(0, Prefix.size()) != Prefix) return false;
    filter.remove_prefix(Prefix.size());
    const std::size_t origin = filter.find('/');
    if (origin == std::string_view::npos) return false;
    filter.remove_prefix(origin + 1);
    const std::string_view level = filter.substr(0, filter.find('/'));
    for (const PositionTree& tree : PositionTrees)
        if (tree.Level == level && level.size() < filter.size()) return true;
    return false;
}

std::string CellName(const Cell& c) { return std::to_string(c.Lat) + "_" + std::to_string(c.Lon); }

std::string PositionTopic(const Cell& c, std::string_view callsign) {
    return std::string(Prefix) + "local/pos/" + CellName(c) + "/" + std::string(callsign);
}

std::string PositionFilter(const Cell& c) {
    return std::string(Prefix) + "+/pos/" + CellName(c) + "/+";
}

std::string IdentityTopic(std::string_view callsign) {
    return std::string(Prefix) + "local/id/" + std::string(callsign);
}

std::string IdentityFilter(std::string_view callsign) {
    return std::string(Prefix) + "+/id/" + std::string(callsign);
}

std::string Identity2Topic(std::string_view callsign) {
    return std::string(Prefix) + "local/id2/" + std::string(callsign);
}

DropReason ParseTopic(std::string_view topic, Topic& out) {
    if (topic.substr(0, Prefix.size()) != Prefix) return DropReason::BadTopic;
    topic.remove_prefix(Prefix.size());
    const std::size_t originEnd = topic.find('/');
    if (originEnd == std::string_view::npos || !IsValidOrigin(topic.substr(0, originEnd)))
        return DropReason::BadTopic;
    const std::string_view origin = topic.substr(0, originEnd);
    topic.remove_prefix(originEnd + 1);
    const bool second = topic.substr(0, 4) == "id2/";
    if (second || topic.substr(0, 3) == "id/") {
        topic.remove_prefix(second ? 4 : 3);
        if (!IsValidCallsign(topic)) return DropReason::BadCallsign;
        out.Kind = second ? TopicKind::Identity2 : TopicKind::Identity;
        out.Callsign.assign(topic);
        out.Origin = origin;
        return DropReason::None;
    }
    const std::size_t levelEnd = topic.find('/');
    if (levelEnd == std::string_view::npos) return DropReason::BadTopic;
    const std::string_view level = topic.substr(0, levelEnd);
    int tree = 0;
    while (tree < PositionTreeCount && PositionTrees[tree].Level != level) ++tree;
    if (tree == PositionTreeCount) return DropReason::BadTopic;
    topic.remove_prefix(levelEnd + 1);
    const std::size_t slash = topic.find('/');
    if (slash == std::string_view::npos) return DropReason::BadTopic;
    const std::string_view cell = topic.substr(0, slash);
    const std::string_view callsign = topic.substr(slash + 1);
    const std::size_t underscore = cell.find('_');
    if (underscore == std::string_view::npos) return DropReason::BadCell;
    Cell c;
    const int rows = TreeCells(tree, 90), columns = TreeCells(tree, 180);
    if (!ParseIndex(cell.substr(0, underscore), -rows, rows - 1, c.Lat) ||
        !ParseIndex(cell.substr(underscore + 1), -columns, columns - 1, c.Lon))
        return DropReason::BadCell;
    if (!IsValidCallsign(callsign)) return DropReason::BadCallsign;
    out.Kind = TopicKind::Position;
    out.Tree = tree;
    out.Where = c;
    out.Callsign.assign(callsign);
    out.Origin = origin;
    return DropReason::None;
}

namespace {

// The sample's fields, listed once: the encoder writes them, the decoder
// reads them back. Version and kind are not fields of a Sample.
template <class S, class Io>
void SampleFields(S& s, Io&& io) {
    namespace L = SampleLayout;
    auto& r = s.Report;
    io(L::Sequence, s.Sequence);
    io(L::SentAtMicros, s.SentAtMicros);
    io(L::Time, r.Time);
    io(L::Latitude, r.Latitude);
    io(L::Longitude, r.Longitude);
    io(L::Altitude, r.Altitude);
    io(L::Pitch, r.Pitch);
    io(L::Bank, r.Bank);
    io(L::Heading, r.Heading);
    io(L::VelocityX, r.VelocityX);
    io(L::VelocityY, r.VelocityY);
    io(L::VelocityZ, r.VelocityZ);
    io(L::PitchRate, r.PitchRate);
    io(L::YawRate, r.YawRate);
    io(L::RollRate, r.RollRate);
    io(L::AccelX, r.AccelX);
    io(L::AccelY, r.AccelY);
    io(L::AccelZ, r.AccelZ);
    io(L::YokeHeading, r.YokeHeading);
    io(L::YokePitch, r.YokePitch);
    io(L::YokeRoll, r.YokeRoll);
    io(L::LeftBrake, r.LeftBrake);
    io(L::RightBrake, r.RightBrake);
    io(L::RadioAltitude, r.RadioAltitude);
    io(L::PositionFlags, r.PositionFlags);
}

}  // namespace

void EncodeSample(const Sample& s, std::uint8_t* out) {
    namespace L = SampleLayout;
    std::memset(out, 0, L::Length);
    Put(out, L::Version, WireVersion);
    Put(out, L::Kind, SampleKind);
    SampleFields(s, [out](auto field, const auto& value) { Put(out, field, value); });
}

DropReason DecodeSample(const std::uint8_t* d, std::size_t length, const Cell& cell, Sample& s,
                        int tree) {
    namespace L = SampleLayout;
    if (length != L::Length) return DropReason::WrongSize;
    if (Get(d, L::Version) != WireVersion || Get(d, L::Kind) != SampleKind)
        return DropReason::WrongVersion;
    if ((Get(d, L::PositionFlags) & ~DefinedPositionFlags) != 0 || Get(d, L::Reserved107) != 0)
        return DropReason::ReservedSet;
    SampleFields(s, [d](auto field, auto& value) { value = Get(d, field); });
    s.Report.AircraftIndex = 0;
    const client::PositionReport& r = s.Report;

    const double numbers[] = {r.Time,      r.Latitude,     r.Longitude, r.Altitude,  r.Pitch,
                              r.Bank,      r.Heading,      r.VelocityX, r.VelocityY, r.VelocityZ,
                              r.PitchRate, r.YawRate,      r.RollRate,  r.AccelX,    r.AccelY,
                              r.AccelZ,    r.RadioAltitude};
    for (double v : numbers)
        if (!std::isfinite(v)) return DropReason::NotFinite;
    // The sender's clock counts seconds since its plugin started.
    if (r.Time <= 0 || r.Time > MaxPlainTimeSeconds || r.Latitude < -90 || r.Latitude > 90 ||
        r.Longitude < -180 || r.Longitude >= 180 || r.Altitude < MinAltitudeMetres ||
        r.Altitude > MaxAltitudeMetres)
        return DropReason::OutOfRange;
    if (!InRange(r.Pitch, 90) || !InRange(r.Bank, 180) || r.Heading < 0 || r.Heading > 360 ||
        !InRange(r.PitchRate, MaxRateDegreesPerSecond) ||
        !InRange(r.YawRate, MaxRateDegreesPerSecond) ||
        !InRange(r.RollRate, MaxRateDegreesPerSecond) ||
        !InRange(r.AccelX, MaxAccelMetresPerSecond2) ||
        !InRange(r.AccelY, MaxAccelMetresPerSecond2) ||
        !InRange(r.AccelZ, MaxAccelMetresPerSecond2) ||
        !InRange(r.RadioAltitude, MaxRadioAltitudeMetres))
        return DropReason::OutOfRange;
    // Yokes are ratios -1..1, brakes 0..1 written as -16384..16384: the
    // same window for all five.
    for (int v : {r.YokeHeading, r.YokePitch, r.YokeRoll, r.LeftBrake, r.RightBrake})
        if (v < -MaxRatioFixed || v > MaxRatioFixed) return DropReason::OutOfRange;
    const double speed2 = double(r.VelocityX) * r.VelocityX + double(r.VelocityY) * r.VelocityY +
                          double(r.VelocityZ) * r.VelocityZ;
    if (speed2 > MaxSpeedMetresPerSecond * MaxSpeedMetresPerSecond) return DropReason::AbsurdSpeed;
    if (tree < 0 || tree >= PositionTreeCount || TreeCellOf(tree, r.Latitude, r.Longitude) != cell)
        return DropReason::WrongCell;
    return DropReason::None;
}

void EncodeIdentity(const Identity& id, std::uint8_t* out) {
    namespace L = IdentityLayout;
    std::memset(out, 0, L::Length);
    Put(out, L::Version, WireVersion);
    Put(out, L::Kind, IdentityKind);
    Put(out, L::LiveryIndex, id.LiveryIndex);
    client::WriteText(At(out, L::Callsign), L::Callsign.Width, id.Callsign);
    client::WriteText(At(out, L::DisplayName), L::DisplayName.Width, id.DisplayName);
    client::WriteText(At(out, L::TailNumber), L::TailNumber.Width, id.TailNumber);
    client::WriteText(At(out, L::ModelName), L::ModelName.Width, id.ModelName);
}

void EncodeIdentity2(const Identity& id, std::uint8_t* out) {
    namespace L = Identity2Layout;
    static_assert(L::ModelName.Offset == IdentityLayout::ModelName.Offset);
    std::memset(out, 0, L::Length);
    EncodeIdentity(id, out);
    Put(out, L::Version, IdentityVersion2);
    // Only what a receiver accepts; anything else goes out as "not said".
    auto put = [out](auto field, const std::string& text, bool valid) {
        if (valid) client::WriteText(At(out, field), field.Width, text);
    };
    put(L::IcaoType, id.IcaoType, IsValidIcaoType(id.IcaoType));
    put(L::Airline, id.Airline, IsValidAirline(id.Airline));
    put(L::Livery, id.Livery, IsValidLivery(id.Livery));
}

DropReason DecodeIdentity(const std::uint8_t* d, std::size_t length, std::string_view topicCallsign,
                          Identity& id) {
    // Version 1's fields lie at the same offsets in both versions.
    namespace L = IdentityLayout;
    namespace L2 = Identity2Layout;
    std::uint8_t version = 0;
    if (length == L::Length)
        version = WireVersion;
    else if (length == L2::Length)
        version = IdentityVersion2;
    else
        return DropReason::WrongSize;
    if (Get(d, L::Version) != version || Get(d, L::Kind) != IdentityKind)
        return DropReason::WrongVersion;
    if (Get(d, L::Reserved3) != 0) return DropReason::ReservedSet;
    if (!ReadCleanText(d, L::Callsign, id.Callsign) ||
        !ReadCleanText(d, L::DisplayName, id.DisplayName) ||
        !ReadCleanText(d, L::TailNumber, id.TailNumber) ||
        !ReadCleanText(d, L::ModelName, id.ModelName))
        return DropReason::BadText;
    id.IcaoType.clear();
    id.Airline.clear();
    id.Livery.clear();
    id.Described = version == IdentityVersion2;
    if (id.Described &&
        (!ReadCleanText(d, L2::IcaoType, id.IcaoType) ||
         !ReadCleanText(d, L2::Airline, id.Airline) || !ReadCleanText(d, L2::Livery, id.Livery) ||
         !(id.IcaoType.empty() || IsValidIcaoType(id.IcaoType)) ||
         !(id.Airline.empty() || IsValidAirline(id.Airline)) ||
         !(id.Livery.empty() || IsValidLivery(id.Livery))))
        return DropReason::BadText;
    if (id.Callsign != topicCallsign) return DropReason::CallsignMismatch;
    id.LiveryIndex = Get(d, L::LiveryIndex);
    return DropReason::None;
}

}  // namespace velmir::net

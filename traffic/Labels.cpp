#include "traffic/Labels.h"

#include <cmath>
#include <cstring>

#include "XPLMGraphics.h"
#include "link/Messages.h"
#include "traffic/AircraftTable.h"
#include "traffic/NumberFormat.h"
#include "user/UserDataRefs.h"

namespace velmir {

std::uint8_t LabelFlags = 0;
float LabelColour[3] = {0.0f, 0.0f, 0.0f};
ViewDataRefs ViewRefs;

namespace {

enum LabelBit : std::uint8_t {
    NameBit = 1,
    TailBit = 2,
    DistanceBit = 4,
    AltitudeBit = 8,
    SpeedBit = 16
};

constexpr float ColourScale = 0.003921569f;  // 1/255
constexpr float NauticalMilesPerMetre = 1.0f / 1852.0f;
constexpr float KnotsPerMetrePerSecond = 1.944f;
constexpr float LabelHeight = 3.0f;  // metres above the reference point
constexpr std::size_t LabelCapacity = 128;
// Screen positions beyond this are nowhere near the window; refusing them
// keeps the int conversions (and the shadow's +1/-1) defined.
constexpr float ScreenLimit = 1.0e9f;

// A label under construction. A text that would outgrow the buffer is cut at
// 127 characters; only absurd altitudes or speeds get that far.
class LabelText {
  public:
    void Clear() {
        length_ = 0;
        text_[0] = '\0';
    }
    void Append(const char* text, std::size_t length) {
        const std::size_t room = LabelCapacity - 1 - length_;
        if (length > room) length = room;
        std::memcpy(text_ + length_, text, length);
        length_ += length;
        text_[length_] = '\0';
    }
    // A record's text field, read no further than the field itself.
    template <std::size_t N>
    void AppendField(const char (&field)[N]) {
        Append(field, FieldLength(field, N));
    }
    // A number, then its unit (with the trailing space).
    void AppendNumber(NumberFormat format, float value, const char* unit) {
        char number[LabelCapacity];
        const int written = FormatNumber(number, sizeof number, format, static_cast<double>(value));
        if (written < 0) return;
        Append(number, static_cast<std::size_t>(written));
        Append(unit, std::strlen(unit));
    }
    const char* Text() const { return text_; }
    std::size_t Length() const { return length_; }

  private:
    static std::size_t FieldLength(const char* text, std::size_t limit) {
        const void* end = std::memchr(text, '\0', limit);
        return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text)
                              : limit;
    }
    char text_[LabelCapacity] = {};
    std::size_t length_ = 0;
};

void BuildLabel(LabelText& label, const AircraftRecord& record, std::uint8_t flags) {
    label.Clear();
    if (flags & NameBit) {
        label.AppendField(record.DisplayName);
        label.Append(" ", 1);
    }
    if (flags & TailBit) {
        label.AppendField(record.TailNumber);
        label.Append(" ", 1);
    }
    // "%.2lfnm " below one mile, "%.3lgnm " from there on; "%.0lfft "; "%.0lfkt ".
    if (flags & DistanceBit)
        label.AppendNumber(
            record.LabelDistance < 1.0f ? NumberFormat::Fixed2 : NumberFormat::General3,
            record.LabelDistance, "nm ");
    if (flags & AltitudeBit) label.AppendNumber(NumberFormat::Fixed0, record.AltitudeFeet, "ft ");
    if (flags & SpeedBit) label.AppendNumber(NumberFormat::Fixed0, record.LabelSpeed, "kt ");
}

// Column-major 4x4 matrix times (a, b, d, h).
void Transform(const float* m, const float* v, float* out) {
    for (int i = 0; i < 4; ++i)
        out[i] = m[i] * v[0] + m[4 + i] * v[1] + m[8 + i] * v[2] + m[12 + i] * v[3];
}

// Reused every frame: nothing is allocated while drawing.
LabelText Label;

bool OnScreenRange(float value) { return value > -ScreenLimit && value < ScreenLimit; }

}  // namespace

void ApplyLabelSettings(const std::uint8_t* datagram) {
    LabelFlags = Get(datagram, InfoLayout::LabelFlags);
    // 0xAARRGGBB; alpha is not used.
    const std::uint32_t argb = Get(datagram, InfoLayout::LabelColourArgb);
    LabelColour[0] = static_cast<float>((argb >> 16) & 0xFFu) * ColourScale;
    LabelColour[1] = static_cast<float>((argb >> 8) & 0xFFu) * ColourScale;
    LabelColour[2] = static_cast<float>(argb & 0xFFu) * ColourScale;
}

void ResetLabelSettings() {
    LabelFlags = 0;
    LabelColour[0] = LabelColour[1] = LabelColour[2] = 0.0f;
}

void UpdateLabelValues() {
    if (LabelFlags == 0) return;
    bool haveUser = false;
    double userX = 0.0, userZ = 0.0;
    for (AircraftRecord& record : AircraftTable) {
        if (!IsActive(record)) continue;
        if (!haveUser) {
            userX = XPLMGetDatad(UserAircraft.UserRefs[LocalX]);
            userZ = XPLMGetDatad(UserAircraft.UserRefs[LocalZ]);
            haveUser = true;
        }
        // Horizontal only: a label tells how far away, not how far up.
        const float dx = static_cast<float>(record.ShownPosition[0] - userX);
        const float dz = static_cast<float>(record.ShownPosition[2] - userZ);
        record.LabelDistance = std::sqrt(dx * dx + dz * dz) * NauticalMilesPerMetre;
        const float vx = record.ShownVelocity[0];
        const float vz = record.ShownVelocity[2];
        record.LabelSpeed = std::sqrt(vx * vx + vz * vz) * KnotsPerMetrePerSecond;
    }
}

int DrawLabels(XPLMDrawingPhase, int, void*) {
    const std::uint8_t flags = LabelFlags;
    if (flags == 0) return 1;
    // Without the view there is nothing to project with: no labels this frame.
    if (ViewRefs.WorldMatrix == nullptr || ViewRefs.ProjectionMatrix == nullptr ||
        ViewRefs.WindowWidth == nullptr || ViewRefs.WindowHeight == nullptr)
        return 1;

    float world[16] = {};
    float projection[16] = {};
    XPLMGetDatavf(ViewRefs.WorldMatrix, world, 0, 16);
    XPLMGetDatavf(ViewRefs.ProjectionMatrix, projection, 0, 16);
    const float width = static_cast<float>(XPLMGetDatai(ViewRefs.WindowWidth));
    const float height = static_cast<float>(XPLMGetDatai(ViewRefs.WindowHeight));

    float shadow[3] = {0.2f, 0.2f, 0.2f};
    for (const AircraftRecord& record : AircraftTable) {
        if (!IsActive(record)) continue;
        const float point[4] = {static_cast<float>(record.ShownPosition[0]),
                                static_cast<float>(record.ShownPosition[1]) + LabelHeight,
                                static_cast<float>(record.ShownPosition[2]), 1.0f};
        float eye[4], clip[4];
        Transform(world, point, eye);
        Transform(projection, eye, clip);
        if (clip[3] == 0.0f) continue;
        const float k = 1.0f / clip[3];
        if (!(clip[2] * k > 0.0f)) continue;  // behind the camera (or NaN)
        const float sx = (clip[0] * k * 0.5f + 0.5f) * width;
        const float sy = (clip[1] * k * 0.5f + 0.5f) * height;

        BuildLabel(Label, record, flags);
        const float textWidth =
            XPLMMeasureString(xplmFont_Basic, Label.Text(), static_cast<int>(Label.Length()));
        const float left = sx - textWidth * 0.5f;
        if (!OnScreenRange(left) || !OnScreenRange(sy)) continue;
        const int ix = static_cast<int>(left);
        const int iy = static_cast<int>(sy);
        XPLMDrawString(shadow, ix + 1, iy - 1, Label.Text(), nullptr, xplmFont_Basic);
        XPLMDrawString(LabelColour, ix, iy, Label.Text(), nullptr, xplmFont_Basic);
    }
    return 1;
}

}  // namespace velmir

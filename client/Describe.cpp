#include "client/Describe.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace velmir::client {
namespace {

class Builder {
  public:
    explicit Builder(const char* kind) { d_.Kind = kind; }
    Builder& Num(const char* key, double value, int decimals = 0) {
        DescribedField f;
        f.Key = key;
        f.Number = value;
        f.Decimals = decimals;
        d_.Fields.push_back(std::move(f));
        return *this;
    }
    Builder& Text(const char* key, std::string value) {
        DescribedField f;
        f.Key = key;
        f.Type = DescribedField::Kind::Text;
        f.Text = std::move(value);
        d_.Fields.push_back(std::move(f));
        return *this;
    }
    Builder& Flag(const char* key, bool value) {
        DescribedField f;
        f.Key = key;
        f.Type = DescribedField::Kind::Boolean;
        f.Flag = value;
        d_.Fields.push_back(std::move(f));
        return *this;
    }
    Description Done() { return std::move(d_); }

  private:
    Description d_;
};

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string LightNames(std::uint16_t lights) {
    static const char* const names[] = {"nav", "beacon", "landing", "taxi", "strobe", "cockpit"};
    std::string out;
    for (int bit = 0; bit < 6; ++bit) {
        if (lights & (1u << bit)) {
            if (!out.empty()) out += "+";
            out += names[bit];
        }
    }
    return out.empty() ? "off" : out;
}

double GroundSpeedKnots(float vx, float vz) {
    return std::sqrt(double(vx) * vx + double(vz) * vz) * KnotsPerMetrePerSecond;
}

Description Of(const ConnectRequest& m) {
    return Builder("connect").Num("tag", m.TagHighByte).Done();
}

Description Of(const DisconnectNotice&) { return Builder("disconnect").Done(); }

Description Of(const InfoReport& m) {
    return Builder("info")
        .Num("sim_version", m.SimVersion)
        .Num("label_flags", m.LabelFlags)
        .Text("label_colour", "#" + Hex(m.LabelColourArgb & 0xFFFFFFu, 6))
        .Done();
}

Description Of(const ModelReport& m) {
    return Builder("model")
        .Num("idx", m.AircraftIndex)
        .Num("livery", m.LiveryIndex)
        .Text("name", m.DisplayName)
        .Text("tail", m.TailNumber)
        .Text("model", m.ModelName)
        .Done();
}

Description Of(const PositionReport& m) {
    Builder b("position");
    b.Num("idx", m.AircraftIndex)
        .Num("time_s", m.Time, 3)
        .Num("lat", m.Latitude, 6)
        .Num("lon", m.Longitude, 6)
        .Num("alt_ft", m.Altitude * FeetPerMetre)
        .Num("hdg_deg", m.Heading, 1)
        .Num("pitch_deg", m.Pitch, 1)
        .Num("bank_deg", m.Bank, 1)
        .Num("gs_kt", GroundSpeedKnots(m.VelocityX, m.VelocityZ))
        .Num("vs_fpm", m.VelocityY * FeetPerMetre * 60.0)
        .Num("yoke_pitch", RatioFromFixed(m.YokePitch), 2)
        .Num("yoke_roll", RatioFromFixed(m.YokeRoll), 2)
        .Num("yoke_heading", RatioFromFixed(m.YokeHeading), 2)
        .Num("brake_left", BrakeRatioFromWire(m.LeftBrake), 2)
        .Num("brake_right", BrakeRatioFromWire(m.RightBrake), 2);
    if (m.RadioAltitude >= 0)
        b.Num("radalt_ft", m.RadioAltitude * FeetPerMetre);
    else
        b.Text("radalt_ft", "unknown");
    return b.Flag("on_ground", m.PositionFlags & 0x01).Flag("clamp", m.PositionFlags & 0x02).Done();
}

Description Of(const PlacementCommand& m) {
    return Builder("placement")
        .Num("idx", m.AircraftIndex)
        .Num("lat", m.Latitude, 6)
        .Num("lon", m.Longitude, 6)
        .Num("alt_ft", m.Altitude * FeetPerMetre)
        .Num("hdg_deg", m.Heading, 1)
        .Num("pitch_deg", m.Pitch, 1)
        .Num("bank_deg", m.Bank, 1)
        .Num("radalt_m", m.RadioAltitude, 1)
        .Num("flags", m.PositionFlags)
        .Done();
}

Description Of(const MotionCommand& m) {
    return Builder("motion")
        .Num("idx", m.AircraftIndex)
        .Num("vx_ms", m.VelocityX, 1)
        .Num("vy_ms", m.VelocityY, 1)
        .Num("vz_ms", m.VelocityZ, 1)
        .Num("gs_kt", GroundSpeedKnots(m.VelocityX, m.VelocityZ))
        .Num("pitch_rate", m.PitchRate, 1)
        .Num("yaw_rate", m.YawRate, 1)
        .Num("roll_rate", m.RollRate, 1)
        .Done();
}

Description Of(const SecondaryControlsReport& m) {
    return Builder("controls")
        .Num("idx", m.AircraftIndex)
        .Num("elevator_trim", RatioFromFixed(m.ElevatorTrim), 3)
        .Num("aileron_trim", RatioFromFixed(m.AileronTrim), 3)
        .Num("rudder_trim", RatioFromFixed(m.RudderTrim), 3)
        .Num("spoilers", RatioFromFixed(m.SpoilerDeflection), 2)
        .Num("tailhook", RatioFromFixed(m.TailHook), 2)
        .Done();
}

Description Of(const AircraftStateReport& m) {
    char transponder[8];
    std::snprintf(transponder, sizeof transponder, "%04u", static_cast<unsigned>(m.Transponder));
    return Builder("state")
        .Num("idx", m.AircraftIndex)
        .Num("ias_kt", m.IndicatedAirspeed)
        .Num("alt_ind_ft", m.IndicatedAltitude)
        .Num("vs_fpm", m.VerticalSpeed)
        .Num("hdg_ind_deg", m.HeadingIndicator)
        .Num("turn_rate", m.TurnRate, 2)
        .Num("slip", m.Slip, 2)
        .Num("baro_hpa", HectopascalFromSixteenths(m.Barometer), 1)
        .Num("baro_inhg", InchesHgFromSixteenths(m.Barometer), 2)
        .Num("radalt_ft", m.RadioAltitude * FeetPerMetre)
        .Num("ground_elev_ft", m.GroundElevation * FeetPerMetre)
        .Num("flaps", m.FlapDetent)
        .Flag("battery", m.SystemFlags & 0x01)
        .Flag("parking_brake", m.SystemFlags & 0x02)
        .Flag("gear_down", m.SystemFlags & 0x04)
        .Flag("canopy", m.SystemFlags & 0x08)
        .Flag("on_ground", m.SystemFlags & 0x10)
        .Flag("pitot_heat", m.SystemFlags & 0x20)
        .Flag("avionics", m.SystemFlags & 0x80)
        .Text("lights", LightNames(m.Lights))
        .Text("xpdr", transponder)
        .Num("com1_mhz", MegahertzFromRadio(m.Com1Frequency), 3)
        .Num("com1_stby_mhz", MegahertzFromRadio(m.Com1Standby), 3)
        .Num("com2_mhz", MegahertzFromRadio(m.Com2Frequency), 3)
        .Num("com2_stby_mhz", MegahertzFromRadio(m.Com2Standby), 3)
        .Num("nav1_mhz", MegahertzFromRadio(m.Nav1Frequency), 2)
        .Num("nav1_stby_mhz", MegahertzFromRadio(m.Nav1Standby), 2)
        .Num("nav2_mhz", MegahertzFromRadio(m.Nav2Frequency), 2)
        .Num("nav2_stby_mhz", MegahertzFromRadio(m.Nav2Standby), 2)
        .Num("adf1_khz", m.Adf1Frequency)
        .Num("adf2_khz", m.Adf2Frequency)
        .Num("nav1_crs_deg", m.Nav1Course)
        .Num("nav2_crs_deg", m.Nav2Course)
        .Flag("ap_on", m.AutopilotFlags & 0x04)
        .Text("ap_flags", "0x" + Hex(m.AutopilotFlags, 2))
        .Text("mode_flags", "0x" + Hex(m.ModeFlags, 2))
        .Num("ap_hdg_deg", m.AutopilotHeading)
        .Num("ap_alt_ft", m.AutopilotAltitude)
        .Num("ap_vs_fpm", m.AutopilotVerticalSpeed)
        .Num("ap_spd_kt", m.AutopilotAirspeed)
        .Num("engines", m.EngineCount)
        .Flag("turbine", m.Turbine != 0)
        .Done();
}

Description Of(const PistonEngineReport& m) {
    return Builder("piston")
        .Num("idx", m.AircraftIndex)
        .Num("engine", m.EngineNumber)
        .Num("rpm", m.EngineRpm)
        .Num("throttle", RatioFromFixed(m.Throttle), 2)
        .Num("mixture", RatioFromFixed(m.Mixture), 2)
        .Num("prop", RatioFromFixed(m.Propeller), 2)
        .Num("map_inhg", m.ManifoldPressure)
        .Num("egt_c", CelsiusFromRankine(m.ExhaustGasTemp))
        .Num("cht_c", CelsiusFromRankine(m.CylinderHeadTemp))
        .Num("oil_temp_c", CelsiusFromRankine(m.OilTemp))
        .Num("oil_psi", m.OilPressure)
        .Num("fuel_psi", m.FuelPressure)
        .Num("fuel_flow_kgh", KilogramsPerHourFromFuelFlow(m.FuelFlow), 1)
        .Num("cowl_flaps", RatioFromFixed(m.CowlFlaps), 2)
        .Num("fuel_selector", m.FuelSelector)
        .Text("flags", "0x" + Hex(m.EngineFlags, 2) + Hex(m.EngineFlags2, 2))
        .Done();
}

Description Of(const TurbineEngineReport& m) {
    return Builder("turbine")
        .Num("idx", m.AircraftIndex)
        .Num("engine", m.EngineNumber)
        .Num("throttle", RatioFromFixed(m.Throttle), 2)
        .Num("prop", RatioFromFixed(m.Propeller), 2)
        .Num("n1", RatioFromFixed(m.N1), 3)
        .Num("n2", RatioFromFixed(m.N2), 3)
        .Num("epr", RatioFromFixed(m.PressureRatio), 3)
        .Num("egt_c", CelsiusFromRankine(m.ExhaustGasTemp))
        .Num("itt_c", CelsiusFromRankine(m.InterTurbineTemp))
        .Num("oil_temp_c", CelsiusFromRankine(m.OilTemp))
        .Num("oil_psi", m.OilPressure)
        .Num("fuel_psi", m.FuelPressure)
        .Num("fuel_flow_kgh", KilogramsPerHourFromFuelFlow(m.FuelFlow), 1)
        .Num("fuel_selector", m.FuelSelector)
        .Text("flags", "0x" + Hex(m.EngineFlags, 2))
        .Done();
}

Description Of(const FuelReport& m) {
    static const char* const keys[9] = {"tank0_kg", "tank1_kg", "tank2_kg", "tank3_kg", "tank4_kg",
                                        "tank5_kg", "tank6_kg", "tank7_kg", "tank8_kg"};
    Builder b("fuel");
    b.Num("idx", m.AircraftIndex);
    const auto tanks = TanksFromWire(m.TankMass);
    int total = 0;
    for (int i = 0; i < 9; ++i) {
        b.Num(keys[i], tanks[i]);
        total += tanks[i];
    }
    return b.Num("total_kg", total).Done();
}

Description Of(const VariableCommand& m) {
    return Builder("variable")
        .Num("idx", m.AircraftIndex)
        .Num("id", m.VariableId)
        .Num("value", m.VariableValue)
        .Done();
}

Description Of(const RemoveAircraftCommand& m) {
    return Builder("remove").Num("idx", m.AircraftIndex).Done();
}

std::string FormatNumber(double value, int decimals) {
    if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    char text[64];
    // Fixed notation for ordinary values; wild ones off the wire in exponent
    // form, which stays short and is still a JSON number.
    if (std::fabs(value) < 1e15)
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
    else
        std::snprintf(text, sizeof text, "%.6e", value);
    // "-0" reads oddly for a value that rounds to zero.
    if (text[0] == '-') {
        bool zero = true;
        for (const char* p = text + 1; *p; ++p)
            if (*p != '0' && *p != '.') zero = false;
        if (zero) return text + 1;
    }
    return text;
}

}  // namespace

Description Describe(const Message& message) {
    return std::visit([](const auto& typed) { return Of(typed); }, message);
}

namespace {

// Quotes text, escaping quotes and backslashes, and every byte outside
// printable ASCII as \xNN: wire text has no declared encoding, so each byte
// stands for itself.
std::string Escaped(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string QuotedText(const std::string& text) { return Escaped(text); }

namespace {

// Wire text has no declared encoding: each byte stands for itself (as
// Latin-1), so any bytes make valid JSON text.
std::string Utf8FromBytes(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A number as the text form shows it: rounded to its decimals (whole when
// none), null when it is not finite, which JSON cannot carry.
nlohmann::ordered_json JsonNumber(double value, int decimals) {
    if (!std::isfinite(value)) return nullptr;
    if (std::fabs(value) >= 1e15) return value;
    if (decimals <= 0) return static_cast<long long>(std::llround(value));
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    return rounded == 0 ? 0.0 : rounded;  // never "-0.0"
}

std::string Dump(const nlohmann::ordered_json& value) { return value.dump(-1, ' ', true); }

}  // namespace

std::string JsonString(const std::string& text) { return Dump(Utf8FromBytes(text)); }

std::string FormatText(const Description& d, double at) {
    return FormatNumber(at, 3) + " " + FormatFields(d);
}

std::string FormatFields(const Description& d) {
    std::string out = d.Kind;
    for (const DescribedField& f : d.Fields) {
        out += " " + f.Key + "=";
        switch (f.Type) {
        case DescribedField::Kind::Number: out += FormatNumber(f.Number, f.Decimals); break;
        case DescribedField::Kind::Text: out += QuotedText(f.Text); break;
        case DescribedField::Kind::Boolean: out += f.Flag ? "yes" : "no"; break;
        }
    }
    return out;
}

std::string FormatJson(const Description& d, double at) {
    nlohmann::ordered_json out = {{"at", JsonNumber(at, 3)}, {"type", Utf8FromBytes(d.Kind)}};
    for (const DescribedField& f : d.Fields) {
        auto& value = out[Utf8FromBytes(f.Key)];
        switch (f.Type) {
        case DescribedField::Kind::Number: value = JsonNumber(f.Number, f.Decimals); break;
        case DescribedField::Kind::Text: value = Utf8FromBytes(f.Text); break;
        case DescribedField::Kind::Boolean: value = f.Flag; break;
        }
    }
    return Dump(out);
}

}  // namespace velmir::client

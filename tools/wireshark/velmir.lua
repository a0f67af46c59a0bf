-- Wireshark dissector for Velmir's UDP link (port 7472).
--
-- Install: copy this file into Wireshark's personal plugin folder
-- (~/.local/lib/wireshark/plugins/ on Linux, %APPDATA%\Wireshark\plugins on
-- Windows), or run `tshark -X lua_script:velmir.lua ...`.
--
-- Every datagram is a 24-byte header and a packed little-endian payload.
-- Fields are shown in the units a person reads: ratios as fractions,
-- temperatures in degrees Celsius, pressure in hectopascals, frequencies in
-- megahertz; the raw wire value is kept alongside where it is scaled.

local velmir = Proto("velmir", "Velmir multiplayer link")

local type_names = {
    [0] = "ConnectMessage", [1] = "DisconnectMessage", [2] = "InfoMessage",
    [3] = "ModelMessage", [4] = "PositionMessage", [5] = "PlacementMessage",
    [6] = "MotionMessage", [7] = "SecondaryControlsMessage", [8] = "AircraftStateMessage",
    [9] = "PistonEngineMessage", [10] = "TurbineEngineMessage", [11] = "FuelMessage",
    [12] = "VariableMessage", [13] = "RemoveAircraftMessage",
}

-- Scalings from wire values to readable ones.
local convert = {
    ratio = function(v) return v / 16384.0 end,
    brake = function(v) return (v + 16384.0) / 32768.0 end,
    rankine = function(v) return (v - 459.67 - 32.0) / 1.8 end,
    hpa16 = function(v) return v / 16.0 end,
    mhz = function(v) return v / 100.0 end,
    feet = function(v) return v * 3.28084 end,
}
local units = { ratio = "", brake = "", rankine = " degC", hpa16 = " hPa", mhz = " MHz", feet = " ft" }

-- name, offset, kind, scaling (optional). Offsets count from the first byte
-- of the datagram.
local layouts = {
    [2] = { name = "info", length = 31, fields = {
        {"SimVersion", 24, "u16"}, {"LabelFlags", 26, "u8"}, {"LabelColourArgb", 27, "u32hex"} } },
    [3] = { name = "model", length = 345, fields = {
        {"AircraftIndex", 24, "u8"}, {"LiveryIndex", 28, "u8"}, {"DisplayName", 29, "text20"},
        {"TailNumber", 49, "text40"}, {"ModelName", 89, "text256"} } },
    [4] = { name = "position", length = 120, fields = {
        {"AircraftIndex", 24, "u8"}, {"Time", 25, "f64"}, {"Latitude", 33, "f64"},
        {"Longitude", 41, "f64"}, {"Altitude", 49, "f64", "feet"}, {"Pitch", 57, "f32"},
        {"Bank", 61, "f32"}, {"Heading", 65, "f32"}, {"VelocityX", 69, "f32"},
        {"VelocityY", 73, "f32"}, {"VelocityZ", 77, "f32"}, {"PitchRate", 81, "f32"},
        {"YawRate", 85, "f32"}, {"RollRate", 89, "f32"}, {"AccelX", 93, "f32"},
        {"AccelY", 97, "f32"}, {"AccelZ", 101, "f32"}, {"YokeHeading", 105, "i16", "ratio"},
        {"YokePitch", 107, "i16", "ratio"}, {"YokeRoll", 109, "i16", "ratio"},
        {"LeftBrake", 111, "i16", "brake"}, {"RightBrake", 113, "i16", "brake"},
        {"RadioAltitude", 115, "f32"}, {"PositionFlags", 119, "u8hex"} } },
    [5] = { name = "placement", length = 66, fields = {
        {"AircraftIndex", 24, "u8"}, {"Latitude", 25, "f64"}, {"Longitude", 33, "f64"},
        {"Altitude", 41, "f64", "feet"}, {"Pitch", 49, "f32"}, {"Bank", 53, "f32"},
        {"Heading", 57, "f32"}, {"RadioAltitude", 61, "f32"}, {"PositionFlags", 65, "u8hex"} } },
    [6] = { name = "motion", length = 61, fields = {
        {"AircraftIndex", 24, "u8"}, {"VelocityX", 25, "f32"}, {"VelocityY", 29, "f32"},
        {"VelocityZ", 33, "f32"}, {"PitchRate", 37, "f32"}, {"YawRate", 41, "f32"},
        {"RollRate", 45, "f32"}, {"AccelX", 49, "f32"}, {"AccelY", 53, "f32"}, {"AccelZ", 57, "f32"} } },
    [7] = { name = "secondary", length = 42, fields = {
        {"AircraftIndex", 24, "u8"}, {"ElevatorTrim", 28, "i16", "ratio"},
        {"AileronTrim", 30, "i16", "ratio"}, {"RudderTrim", 32, "i16", "ratio"},
        {"SpoilerDeflection", 34, "i16", "ratio"}, {"TailHook", 36, "i16", "ratio"},
        {"ExtraControl1", 38, "i16", "ratio"}, {"ExtraControl2", 40, "i16", "ratio"} } },
    [8] = { name = "state", length = 126, fields = {
        {"AircraftIndex", 24, "u8"}, {"SystemFlags", 25, "u8hex"}, {"AutopilotFlags", 26, "u8hex"},
        {"ModeFlags", 27, "u8hex"}, {"FlapDetent", 28, "u8"}, {"HeadingIndicator", 29, "i16"},
        {"Barometer", 31, "i16", "hpa16"}, {"EngineCount", 33, "u8"}, {"Turbine", 35, "u8"},
        {"Transponder", 36, "u16"}, {"Lights", 38, "u16hex"}, {"Nav1Course", 40, "i16"},
        {"Nav2Course", 42, "i16"}, {"Com1Frequency", 44, "i32", "mhz"},
        {"Com2Frequency", 48, "i32", "mhz"}, {"Nav1Frequency", 52, "i32", "mhz"},
        {"Nav2Frequency", 56, "i32", "mhz"}, {"Adf1Frequency", 60, "i32"},
        {"Adf2Frequency", 64, "i32"}, {"Com1Standby", 68, "i32", "mhz"},
        {"Com2Standby", 72, "i32", "mhz"}, {"Nav1Standby", 76, "i32", "mhz"},
        {"Nav2Standby", 80, "i32", "mhz"}, {"RadioAltitude", 84, "f32"},
        {"AutopilotHeading", 94, "i16"}, {"AutopilotAltitude", 96, "i16"},
        {"AutopilotVerticalSpeed", 98, "i16"}, {"AutopilotAirspeed", 100, "i16"},
        {"GroundElevation", 102, "f32"}, {"IndicatedAirspeed", 106, "f32"},
        {"IndicatedAltitude", 110, "f32"}, {"VerticalSpeed", 114, "f32"},
        {"TurnRate", 118, "f32"}, {"Slip", 122, "f32"} } },
    [9] = { name = "piston", length = 56, fields = {
        {"AircraftIndex", 24, "u8"}, {"EngineNumber", 25, "u8"}, {"EngineFlags", 26, "u8hex"},
        {"EngineFlags2", 27, "u8hex"}, {"Throttle", 28, "i16", "ratio"}, {"Mixture", 30, "i16", "ratio"},
        {"Propeller", 32, "i16", "ratio"}, {"ExhaustGasTemp", 34, "i16", "rankine"},
        {"OilPressure", 36, "u8"}, {"OilTemp", 37, "i16", "rankine"}, {"FuelPressure", 39, "u8"},
        {"CowlFlaps", 40, "i16", "ratio"}, {"ManifoldPressure", 42, "u8"},
        {"AlternateStaticAir", 43, "i16", "ratio"}, {"CylinderHeadTemp", 45, "i16", "rankine"},
        {"FuelFlow", 49, "i16"}, {"EngineRpm", 53, "i16"}, {"FuelSelector", 55, "u8"} } },
    [10] = { name = "turbine", length = 54, fields = {
        {"AircraftIndex", 24, "u8"}, {"EngineNumber", 25, "u8"}, {"EngineFlags", 26, "u8hex"},
        {"Throttle", 27, "i16", "ratio"}, {"Mixture", 29, "i16", "ratio"}, {"Propeller", 31, "i16", "ratio"},
        {"ExhaustGasTemp", 33, "i16", "rankine"}, {"OilPressure", 35, "u8"},
        {"OilTemp", 36, "i16", "rankine"}, {"FuelPressure", 38, "u8"}, {"N1", 39, "i16", "ratio"},
        {"N2", 41, "i16", "ratio"}, {"FuelFlow", 47, "i16"}, {"PressureRatio", 49, "i16", "ratio"},
        {"InterTurbineTemp", 51, "i16", "rankine"}, {"FuelSelector", 53, "u8"} } },
    [11] = { name = "fuel", length = 36, fields = {
        {"AircraftIndex", 24, "u8"},
        {"Tank2", 25, "u8"}, {"Tank5", 26, "u8"}, {"Tank8", 27, "u8"}, {"Tank0", 28, "u8"},
        {"Tank6", 29, "u8"}, {"Tank3", 30, "u8"}, {"Tank1", 31, "u8"}, {"Tank7", 32, "u8"},
        {"Tank4", 33, "u8"} } },
    [12] = { name = "variable", length = 31, fields = {
        {"AircraftIndex", 24, "u8"}, {"VariableId", 25, "i16"}, {"VariableValue", 27, "i32"} } },
    [13] = { name = "remove", length = 25, fields = { {"AircraftIndex", 24, "u8"} } },
}

local f = velmir.fields
local hf = {}
f.link_tag = ProtoField.uint16("velmir.link_tag", "Link tag", base.HEX)
f.data_version = ProtoField.uint16("velmir.data_version", "Data version", base.DEC)
f.type = ProtoField.uint8("velmir.type", "Message type", base.DEC, type_names)

local function lower_first(s) return s:sub(1, 1):lower() .. s:sub(2) end

for _, layout in pairs(layouts) do
    for _, field in ipairs(layout.fields) do
        local name, kind, scale = field[1], field[3], field[4]
        local abbr = "velmir." .. layout.name .. "." .. lower_first(name)
        local pf
        if kind == "u8" then pf = ProtoField.uint8(abbr, name, base.DEC)
        elseif kind == "u8hex" then pf = ProtoField.uint8(abbr, name, base.HEX)
        elseif kind == "u16" then pf = ProtoField.uint16(abbr, name, base.DEC)
        elseif kind == "u16hex" then pf = ProtoField.uint16(abbr, name, base.HEX)
        elseif kind == "u32hex" then pf = ProtoField.uint32(abbr, name, base.HEX)
        elseif kind == "i16" then pf = ProtoField.int16(abbr, name, base.DEC)
        elseif kind == "i32" then pf = ProtoField.int32(abbr, name, base.DEC)
        elseif kind == "f32" then pf = ProtoField.float(abbr, name)
        elseif kind == "f64" then pf = ProtoField.double(abbr, name)
        else pf = ProtoField.string(abbr, name) end
        hf[abbr] = pf
        f[abbr] = pf
        if scale then
            local sabbr = abbr .. "_" .. scale
            local spf = ProtoField.double(sabbr, name .. " (" .. scale .. units[scale] .. ")")
            hf[sabbr] = spf
            f[sabbr] = spf
        end
    end
end

local widths = { u8 = 1, u8hex = 1, u16 = 2, u16hex = 2, u32hex = 4, i16 = 2, i32 = 4, f32 = 4, f64 = 8 }

local function add_field(tree, tvb, layout, field)
    local name, offset, kind, scale = field[1], field[2], field[3], field[4]
    local abbr = "velmir." .. layout.name .. "." .. lower_first(name)
    local width = widths[kind] or tonumber(kind:match("text(%d+)"))
    if offset + width > tvb:len() then return end
    local range = tvb(offset, width)
    if kind:sub(1, 4) == "text" then
        tree:add(hf[abbr], range, range:stringz())
        return
    end
    tree:add_le(hf[abbr], range)
    if scale then
        local raw
        if kind == "f32" or kind == "f64" then raw = range:le_float()
        elseif kind == "i16" or kind == "i32" then raw = range:le_int()
        else raw = range:le_uint() end
        tree:add(hf[abbr .. "_" .. scale], range, convert[scale](raw))
    end
end

function velmir.dissector(tvb, pinfo, tree)
    if tvb:len() < 24 then return 0 end
    pinfo.cols.protocol = "Velmir"
    local mtype = tvb(23, 1):uint()
    local subtree = tree:add(velmir, tvb(), "Velmir, " .. (type_names[mtype] or "unknown type"))
    subtree:add_le(f.link_tag, tvb(0, 2))
    subtree:add_le(f.data_version, tvb(21, 2))
    subtree:add(f.type, tvb(23, 1))
    local direction = (pinfo.src_port == 7472) and "plugin to client" or "client to plugin"
    pinfo.cols.info = (type_names[mtype] or ("type " .. mtype)) .. ", " .. direction
    if tvb(21, 2):le_uint() ~= 21007 then
        pinfo.cols.info:append(" [wrong data version]")
    end
    local layout = layouts[mtype]
    if layout then
        if tvb:len() < layout.length then
            pinfo.cols.info:append(" [shorter than " .. layout.length .. " bytes]")
        end
        for _, field in ipairs(layout.fields) do add_field(subtree, tvb, layout, field) end
    end
    return tvb:len()
end

DissectorTable.get("udp.port"):add(7472, velmir)

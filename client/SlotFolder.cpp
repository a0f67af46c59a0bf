// What `velmir-client inject` needs besides the scenario: the slot folders
// the plugin loads injected aircraft from, and a simulated poor network.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "client/Scenario.h"

namespace velmir::client {
namespace {

struct Vertex {
    float X, Y, Z;
};
struct Mesh {
    std::vector<Vertex> Points;
    std::vector<int> Triangles;  // three indices each
};

// Objects use x right, y up, z aft; the nose points to −z.
Mesh Fuselage() {
    Mesh m;
    m.Points = {{-0.6f, -0.7f, -4.0f}, {0.6f, -0.7f, -4.0f}, {0.6f, 0.7f, -4.0f},
                {-0.6f, 0.7f, -4.0f},  {-0.3f, -0.3f, 4.0f}, {0.3f, -0.3f, 4.0f},
                {0.3f, 0.5f, 4.0f},    {-0.3f, 0.5f, 4.0f},  {0.0f, 0.5f, 2.4f},
                {0.0f, 2.2f, 4.2f},    {0.0f, 0.5f, 4.0f}};
    m.Triangles = {0, 1, 2, 0, 2, 3,  // nose
                   4, 6, 5, 4, 7, 6,  // tail end
                   0, 4, 5, 0, 5, 1,  // belly
                   3, 2, 6, 3, 6, 7,  // top
                   0, 3, 7, 0, 7, 4,  // left
                   1, 5, 6, 1, 6, 2,  // right
                   8, 9, 10};         // fin
    return m;
}

Mesh Wings() {
    Mesh m;
    m.Points = {{-5.0f, 0.0f, -0.8f}, {5.0f, 0.0f, -0.8f}, {5.0f, 0.0f, 0.6f}, {-5.0f, 0.0f, 0.6f},
                {-1.8f, 0.0f, 3.0f},  {1.8f, 0.0f, 3.0f},  {1.8f, 0.0f, 3.9f}, {-1.8f, 0.0f, 3.9f}};
    m.Triangles = {0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7};
    return m;
}

std::string Obj8Text(const Mesh& mesh) {
    std::string out = "I\n800\nOBJ\n\n";
    out += "POINT_COUNTS " + std::to_string(mesh.Points.size()) + " 0 0 " +
           std::to_string(mesh.Triangles.size()) + "\n\n";
    char line[160];
    for (const Vertex& v : mesh.Points) {
        const float length = std::sqrt(v.X * v.X + v.Y * v.Y + v.Z * v.Z);
        const float k = length > 0 ? 1.0f / length : 0.0f;
        std::snprintf(line, sizeof line, "VT %.3f %.3f %.3f %.3f %.3f %.3f 0 0\n", v.X, v.Y, v.Z,
                      v.X * k, v.Y * k, v.Z * k);
        out += line;
    }
    out += "\n";
    for (int index : mesh.Triangles) out += "IDX " + std::to_string(index) + "\n";
    out += "\nATTR_no_cull\nTRIS 0 " + std::to_string(mesh.Triangles.size()) + "\n";
    return out;
}

bool WriteFile(const std::filesystem::path& path, const std::string& content, std::string& error) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot write '" + temporary.string() + "'";
            return false;
        }
        out << content;
        out.close();
        if (!out) {
            error = "cannot write '" + temporary.string() + "'";
            return false;
        }
    }
    std::error_code code;
    std::filesystem::rename(temporary, path, code);
    if (code) {
        error = "cannot rename to '" + path.string() + "': " + code.message();
        return false;
    }
    return true;
}

}  // namespace

// ------------------------------------------------------------ slot folders --

std::string SlotFolder(const std::string& root, int slot) {
    char name[32];
    std::snprintf(name, sizeof name, "inject%03d", slot);
    return (std::filesystem::path(root.empty() ? "." : root) / "Resources" / "plugins" / "Velmir" /
            name)
        .string();
}

bool WriteSlotFolder(const std::string& root, int slot, std::string& error) {
    if (slot < 1 || slot > 40) {
        error = "slot " + std::to_string(slot) + " is outside 1..40";
        return false;
    }
    const std::filesystem::path folder = SlotFolder(root, slot);
    std::error_code code;
    std::filesystem::create_directories(folder / "objects", code);
    if (code) {
        error = "cannot create '" + (folder / "objects").string() + "': " + code.message();
        return false;
    }
    // The plugin splits these lines at single spaces, so write exactly one.
    const std::string objectList = "fuselage.obj 0 0 0 0 0 0\nwings.obj 0 0 0 0 0.2 -0.4\n";
    const std::string cog = "0 0 1.2\n";
    // The list last: when it appears, everything it names is in place.
    return WriteFile(folder / "objects" / "fuselage.obj", Obj8Text(Fuselage()), error) &&
           WriteFile(folder / "objects" / "wings.obj", Obj8Text(Wings()), error) &&
           WriteFile(folder / "cog", cog, error) &&
           WriteFile(folder / "object_list", objectList, error);
}

// --------------------------------------------------------------- impairment --

ImpairedLink::ImpairedLink(Impairment impairment, std::uint32_t seed)
    : impairment_(impairment), random_(seed) {
    impairment_.LatencyMs = std::max(0.0, impairment_.LatencyMs);
    impairment_.JitterMs = std::max(0.0, impairment_.JitterMs);
    impairment_.LossPercent = std::clamp(impairment_.LossPercent, 0.0, 100.0);
}

void ImpairedLink::Submit(const std::uint8_t* data, std::size_t length, double now) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    if (impairment_.LossPercent > 0 && unit(random_) * 100.0 < impairment_.LossPercent) {
        ++dropped_;
        return;
    }
    const double delay = (impairment_.LatencyMs + impairment_.JitterMs * unit(random_)) / 1000.0;
    Entry entry{now + delay, next_++, std::vector<std::uint8_t>(data, data + length)};
    const auto at =
        std::upper_bound(queue_.begin(), queue_.end(), entry, [](const Entry& a, const Entry& b) {
            return a.DueAt < b.DueAt || (a.DueAt == b.DueAt && a.Order < b.Order);
        });
    queue_.insert(at, std::move(entry));
}

std::vector<std::vector<std::uint8_t>> ImpairedLink::TakeDue(double now) {
    std::vector<std::vector<std::uint8_t>> due;
    while (!queue_.empty() && queue_.front().DueAt <= now) {
        due.push_back(std::move(queue_.front().Data));
        queue_.pop_front();
    }
    return due;
}

}  // namespace velmir::client

#include "net/csl/Source.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "client/Platform.h"
#include "client/Scenario.h"

namespace velmir::net::csl {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t MaxObjectBytes = 64u << 20;
// Raised when the baked layout changes, so old cache folders are not used.
constexpr const char* CacheFormat = "1";

std::uint64_t Fnv1a64(std::uint64_t hash, const std::string& text) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash ^ 0xff;  // a separator between the parts
}

std::string Safe(const std::string& text, std::size_t max) {
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= max) break;
        out += std::isalnum(c) || c == '-' || c == '.' ? static_cast<char>(c) : '_';
    }
    return out;
}

std::string Format(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

bool ReadBounded(const fs::path& path, std::string& out, std::string& error) {
    std::error_code code;
    const auto size = fs::file_size(path, code);
    if (code || size > MaxObjectBytes) {
        error =
            "cannot read '" + path.string() + "'" + (code ? ": " + code.message() : ": too large");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), {});
    if (!in && !in.eof()) {
        error = "cannot read '" + path.string() + "'";
        return false;
    }
    return true;
}

bool WriteText(const fs::path& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) error = "cannot write '" + path.string() + "'";
    return static_cast<bool>(out);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string TypeFromModelPath(const std::string& path, const TypeTable& types) {
    // The file name first ("B738.acf"), then the folders nearest to it.
    std::vector<std::string> parts;
    for (const auto& part : fs::path(path)) parts.push_back(part.string());
    if (!parts.empty()) parts.back() = fs::path(parts.back()).stem().string();
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        std::string word;
        for (std::size_t i = 0; i <= part->size(); ++i) {
            const unsigned char c = i < part->size() ? (*part)[i] : ' ';
            if (std::isalnum(c)) {
                word += static_cast<char>(std::toupper(c));
                continue;
            }
            // Two-character designators (J3, P8) are too often something else.
            if (word.size() >= 3 && types.Find(word)) return word;
            word.clear();
        }
    }
    return "";
}

Query QueryFor(const Identity& id, const TypeTable& types) {
    const std::string type =
        id.IcaoType.empty() ? TypeFromModelPath(id.ModelName, types) : id.IcaoType;
    if (!id.Described)
        return {type, AirlineFromCallsign(id.Callsign), Upper(id.TailNumber), id.Callsign};
    return {type, id.Airline, Upper(id.Livery), id.Callsign};
}

bool PlaceFile(const std::string& from, const std::string& to, std::string& error) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        to + ".tmp" + std::to_string(platform::ProcessId()) + "." + std::to_string(counter++);
    std::error_code code;
    fs::create_hard_link(from, temporary, code);
    if (code) {
        code.clear();
        fs::copy_file(from, temporary, fs::copy_options::overwrite_existing, code);
    }
    if (!code) fs::rename(temporary, to, code);
    if (code) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        error = "cannot place '" + from + "' at '" + to + "': " + code.message();
        return false;
    }
    return true;
}

CslSlotSource::CslSlotSource(std::vector<std::string> folders, std::string root, BakeState down,
                             Report report, BakeState up)
    : root_(std::move(root)),
      states_{std::move(down), std::move(up)},
      report_(report ? std::move(report) : Report([](const std::string& text) {
          std::fprintf(stderr, "velmir-net: %s\n", text.c_str());
      })),
      collection_(ReadCollection(folders)),
      matcher_(collection_, TypeTable::BuiltIn()),
      names_(collection_.Models.size() * 2),
      ready_(collection_.Models.size() * 2, 0) {
    for (const std::string& folder : folders) {
        std::error_code code;
        const fs::path canonical = fs::canonical(folder, code);
        if (!code) folders_.push_back(canonical.string());
    }
    cache_ =
        (fs::path(root_.empty() ? "." : root_) / "Resources" / "plugins" / "Velmir" / "csl-cache")
            .string();
    for (const Problem& p : collection_.Problems) report_(p.Text());
}

std::size_t CslSlotSource::Index(const CslModel& model, Gear gear) const {
    return static_cast<std::size_t>(&model - collection_.Models.data()) * 2 +
           (gear == Gear::Up ? 1 : 0);
}

const std::string& CslSlotSource::CacheName(const CslModel& model, Gear gear) {
    const BakeState& state = states_[gear == Gear::Up ? 1 : 0];
    std::string& name = names_.at(Index(model, gear));
    if (!name.empty()) return name;
    const CslPackage& package = collection_.Packages[model.Package];
    std::uint64_t hash = 14695981039346656037ull;
    hash = Fnv1a64(hash, CacheFormat);
    hash = Fnv1a64(hash, package.Name);
    hash = Fnv1a64(hash, model.Id);
    hash = Fnv1a64(hash, state.Name);
    for (const auto& [dataref, value] : state.Values) hash = Fnv1a64(hash, dataref + Format(value));
    hash = Fnv1a64(hash, model.Texture);
    hash = Fnv1a64(hash, model.HasVertOffset ? Format(model.VertOffset) : "");
    // A package updated in place gets a new bake.
    for (const CslObject& object : model.Objects) {
        std::error_code code;
        const auto size = fs::file_size(object.Path, code);
        const auto time = fs::last_write_time(object.Path, code).time_since_epoch().count();
        hash = Fnv1a64(hash, object.Path + object.Texture + object.LitTexture +
                                 std::to_string(static_cast<unsigned long long>(size)) + "/" +
                                 std::to_string(static_cast<long long>(time)));
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    name = Safe(package.Name, 40) + "-" + Safe(model.Id, 40) + "-" + state.Name + "-" + hex;
    return name;
}

std::string CslSlotSource::KeyFor(const Identity& id, Gear gear, PluginPort::SlotMatch* match) {
    const Choice choice = matcher_.Match(QueryFor(id, TypeTable::BuiltIn()));
    if (!choice.Model) return "";
    if (match) {
        match->Rule = RuleName(choice.How);
        match->Model = collection_.Packages[choice.Model->Package].Name + "/" + choice.Model->Id;
    }
    return CacheName(*choice.Model, gear);
}

bool CslSlotSource::Fill(int slot, const Identity& id, Gear gear, std::string& error) {
    const Choice choice = matcher_.Match(QueryFor(id, TypeTable::BuiltIn()));
    if (!choice.Model) {
        error = "no CSL model for " + id.Callsign;
        return false;
    }
    return FillSlot(slot, *choice.Model, error, gear);
}

bool CslSlotSource::Baked(const CslModel& model, std::string& folder, std::string& error,
                          Gear gear) {
    const std::size_t index = Index(model, gear);
    folder = (fs::path(cache_) / CacheName(model, gear)).string();
    if (ready_.at(index)) return true;
    std::error_code code;
    // object_list is written last, so with it the folder is complete.
    if (!fs::is_regular_file(fs::path(folder) / "object_list", code) &&
        !Bake(model, gear, folder, error))
        return false;
    ready_[index] = 1;
    return true;
}

bool CslSlotSource::Bake(const CslModel& model, Gear gear, const std::string& folder,
                         std::string& error) {
    static std::atomic<unsigned> counter{0};
    const fs::path work =
        folder + ".tmp" + std::to_string(platform::ProcessId()) + "." + std::to_string(counter++);
    std::error_code code;
    fs::remove_all(work, code);
    fs::create_directories(work / "objects", code);
    if (code) {
        error = "cannot create '" + work.string() + "': " + code.message();
        return false;
    }
    const std::string what = collection_.Packages[model.Package].Name + " '" + model.Id + "'";
    std::map<std::string, std::string> textures;  // source file -> name in objects/
    std::set<std::string> taken;
    std::set<std::string> reported;
    auto note = [&](const std::string& text) {
        if (reported.insert(text).second) report_(what + ": " + text);
    };
    auto inside = [&](const fs::path& path) {
        const std::string canonical = fs::weakly_canonical(path, code).string();
        for (const std::string& f : folders_)
            if (canonical.compare(0, f.size(), f) == 0 &&
                (canonical.size() == f.size() || canonical[f.size()] == '/'))
                return true;
        return false;
    };
    auto unique = [&](const std::string& wanted) {
        std::string name = Safe(wanted, 80);
        for (int n = 1; !taken.insert(name).second; ++n)
            name = "t" + std::to_string(n) + "_" + Safe(wanted, 80);
        return name;
    };
    // Brings a texture into objects/ once and gives its name there; the
    // simulator takes a .dds beside a .png of the same name, so it comes too.
    auto bring = [&](const fs::path& named) -> std::string {
        const fs::path source = named.lexically_normal();
        const auto found = textures.find(source.string());
        if (found != textures.end()) return found->second;
        if (!inside(source) || !fs::is_regular_file(source, code)) {
            note("texture '" + source.string() + "' is missing or outside the packages");
            return "";
        }
        const std::string name = unique(source.filename().string());
        std::string placeError;
        if (!PlaceFile(source.string(), (work / "objects" / name).string(), placeError)) {
            note(placeError);
            return "";
        }
        for (const char* other : {".dds", ".png", ".DDS", ".PNG"}) {
            fs::path sibling = source;
            sibling.replace_extension(other);
            if (sibling == source || !fs::is_regular_file(sibling, code)) continue;
            fs::path mine = fs::path(name);
            mine.replace_extension(other);
            if (taken.insert(mine.string()).second)
                PlaceFile(sibling.string(), (work / "objects" / mine).string(), placeError);
        }
        textures.emplace(source.string(), name);
        return name;
    };

    std::string objectList;
    bool anyVertex = false;
    double lowest = 0;
    for (const CslObject& object : model.Objects) {
        std::string text;
        if (!ReadBounded(object.Path, text, error)) return false;
        const fs::path objectFolder = fs::path(object.Path).parent_path();
        const std::string texture = !object.Texture.empty() ? object.Texture : model.Texture;
        const TextureRename rename = [&](const std::string& keyword, const std::string& path) {
            if (keyword == "TEXTURE" && !texture.empty()) return bring(texture);
            if (keyword == "TEXTURE_LIT" && !object.LitTexture.empty())
                return bring(object.LitTexture);
            return path.empty() ? std::string() : bring(objectFolder / path);
        };
        BakeResult baked = BakeObject(text, states_[gear == Gear::Up ? 1 : 0], rename);
        for (const std::string& n : baked.Notes)
            note(fs::path(object.Path).filename().string() + ": " + n);
        if (!baked.HasTexture && !texture.empty()) {
            const std::string name = bring(texture);
            if (!name.empty()) baked.Text = InsertAfterHeader(baked.Text, "TEXTURE " + name);
        }
        if (!baked.HasLitTexture && !object.LitTexture.empty()) {
            const std::string name = bring(object.LitTexture);
            if (!name.empty()) baked.Text = InsertAfterHeader(baked.Text, "TEXTURE_LIT " + name);
        }
        if (baked.HasVertex) {
            lowest = anyVertex ? std::min(lowest, baked.LowestY) : baked.LowestY;
            anyVertex = true;
        }
        std::string name = fs::path(object.Path).stem().string();
        name = unique(name + ".obj");
        if (!WriteText(work / "objects" / name, baked.Text, error)) return false;
        // The plugin splits at single spaces: one space, every field written.
        objectList += name + " 0 0 0 0 0 0\n";
    }
    // Without VERT_OFFSET the lowest vertex stands on the ground.
    const double ground = model.HasVertOffset ? model.VertOffset : (anyVertex ? -lowest : 0.0);
    if (!WriteText(work / "cog", "0 0 " + Format(ground) + "\n", error) ||
        !WriteText(work / "object_list", objectList, error))
        return false;
    fs::rename(work, folder, code);
    if (code) {
        // Another companion baked it meanwhile: theirs is as good.
        std::error_code ignored;
        fs::remove_all(work, ignored);
        if (!fs::is_regular_file(fs::path(folder) / "object_list", ignored)) {
            error = "cannot store '" + folder + "': " + code.message();
            return false;
        }
    }
    return true;
}

bool CslSlotSource::FillSlot(int slot, const CslModel& model, std::string& error, Gear gear) {
    std::string cached;
    if (!Baked(model, cached, error, gear)) return false;
    const fs::path slotFolder = client::SlotFolder(root_, slot);
    const fs::path objects = slotFolder / "objects";
    std::error_code code;
    fs::create_directories(objects, code);
    if (code) {
        error = "cannot create '" + objects.string() + "': " + code.message();
        return false;
    }
    std::set<std::string> wanted;
    for (const auto& entry : fs::directory_iterator(fs::path(cached) / "objects", code)) {
        const std::string name = entry.path().filename().string();
        wanted.insert(name);
        if (!PlaceFile(entry.path().string(), (objects / name).string(), error)) return false;
    }
    if (code) {
        error = "cannot list '" + cached + "': " + code.message();
        return false;
    }
    // The last model's files would only pile up.
    std::vector<fs::path> stale;
    for (const auto& entry : fs::directory_iterator(objects, code))
        if (!wanted.count(entry.path().filename().string())) stale.push_back(entry.path());
    for (const fs::path& path : stale) fs::remove(path, code);
    // The list last: when it appears, the objects it names are in place.
    return PlaceFile((fs::path(cached) / "cog").string(), (slotFolder / "cog").string(), error) &&
           PlaceFile((fs::path(cached) / "object_list").string(),
                     (slotFolder / "object_list").string(), error);
}

}  // namespace velmir::net::csl

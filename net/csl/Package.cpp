#include "net/csl/Package.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace velmir::net::csl {

namespace fs = std::filesystem;

std::string Problem::Text() const {
    return File + (Line > 0 ? ":" + std::to_string(Line) : "") + ": " + Message;
}

namespace {

constexpr const char* PackageFile = "xsb_aircraft.txt";

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsCode(const std::string& word, std::size_t min, std::size_t max) {
    if (word.size() < min || word.size() > max) return false;
    return std::all_of(word.begin(), word.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '_'; });
}

struct Line {
    int Number;
    std::vector<std::string> Words;
};

// A package as read, before the packages it leans on are known to be good.
struct Draft {
    std::string File, Folder, Name;
    int NameLine = 0;
    std::vector<Line> Lines;
    Problem Trouble;  // Message empty = fine so far
    CslPackage Package;
    std::vector<CslModel> Models;
    std::vector<std::pair<std::string, int>> Uses;  // other packages' names and the line
    bool Broken() const { return !Trouble.Message.empty(); }
    void Fail(int line, std::string message) {
        if (!Broken()) Trouble = {File, line, std::move(message)};
    }
};

void ReadLines(Draft& d, const ReadLimits& limits) {
    std::error_code code;
    const auto size = fs::file_size(d.File, code);
    if (code) return d.Fail(0, "cannot read: " + code.message());
    if (size > limits.MaxFileBytes)
        return d.Fail(0, "larger than " + std::to_string(limits.MaxFileBytes) + " bytes");
    std::ifstream in(d.File, std::ios::binary);
    if (!in) return d.Fail(0, "cannot read");
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (text.size() > limits.MaxLineBytes) return d.Fail(number, "line too long");
        const auto hash = text.find('#');
        if (hash != std::string::npos) text.resize(hash);
        std::istringstream words(text);
        Line line{number, {}};
        for (std::string w; words >> w;) line.Words.push_back(w);
        if (!line.Words.empty()) d.Lines.push_back(std::move(line));
    }
    d.Name = fs::path(d.Folder).filename().string();
    for (const Line& line : d.Lines)
        if (line.Words[0] == "EXPORT_NAME") {
            if (line.Words.size() != 2) return d.Fail(line.Number, "EXPORT_NAME takes one name");
            if (d.NameLine) return d.Fail(line.Number, "a second EXPORT_NAME");
            d.Name = line.Words[1];
            d.NameLine = line.Number;
        }
}

std::string Rest(const std::vector<std::string>& words, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < words.size(); ++i) out += (out.empty() ? "" : " ") + words[i];
    return out;
}

class Parser {
  public:
    Parser(Draft& d, const std::map<std::string, std::size_t>& exported,
           const std::vector<Draft>& all)
        : d_(d), exported_(exported), all_(all) {}

    void Run() {
        for (const Line& line : d_.Lines) {
            if (d_.Broken()) return;
            One(line);
        }
        if (!d_.Broken()) CloseModel();
    }

  private:
    // "<package>/<path>" through the package that exported that name. No
    // ".." so a package cannot reach outside the package it names.
    bool Resolve(const std::string& word, int line, std::string& out, bool objectFolderFallback,
                 const std::string& objectFolder) {
        const auto slash = word.find('/');
        if (word.find('\\') != std::string::npos) {
            d_.Fail(line, "'" + word + "': use '/' in paths");
            return false;
        }
        for (const auto& part : fs::path(word))
            if (part == "..") {
                d_.Fail(line, "'" + word + "' leaves its package");
                return false;
            }
        fs::path path;
        const std::string head = slash == std::string::npos ? "" : word.substr(0, slash);
        const auto found = exported_.find(head);
        if (found != exported_.end()) {
            path = fs::path(all_[found->second].Folder) / word.substr(slash + 1);
            if (found->second != Self()) d_.Uses.emplace_back(head, line);
        } else if (objectFolderFallback && !word.empty() && word[0] != '/') {
            path = fs::path(objectFolder) / word;
        } else {
            d_.Fail(line, head.empty() ? "'" + word + "' does not start with a package name"
                                       : "package '" + head + "' is not installed");
            return false;
        }
        std::error_code code;
        if (!fs::is_regular_file(path, code)) {
            d_.Fail(line, "missing file '" + path.string() + "'");
            return false;
        }
        out = path.string();
        return true;
    }

    std::size_t Self() const { return exported_.at(d_.Name); }

    bool InModel(const Line& line) {
        if (open_) return true;
        d_.Fail(line.Number, line.Words[0] + " before any OBJ8_AIRCRAFT");
        return false;
    }

    void CloseModel() {
        if (!open_) return;
        open_ = false;
        if (model_.Objects.empty())
            return d_.Fail(model_.Line, "model '" + model_.Id + "' has no OBJ8 object");
        d_.Models.push_back(std::move(model_));
    }

    void One(const Line& line) {
        const auto& w = line.Words;
        const std::string& command = w[0];
        const std::size_t n = w.size();
        auto arity = [&](std::size_t min, std::size_t max) {
            if (n - 1 >= min && n - 1 <= max) return true;
            d_.Fail(line.Number, command + ": wrong number of words");
            return false;
        };
        if (command == "EXPORT_NAME") return;  // read before
        if (command == "DEPENDENCY") {
            if (!arity(1, 1)) return;
            d_.Package.Dependencies.push_back(w[1]);
            if (w[1] != d_.Name) d_.Uses.emplace_back(w[1], line.Number);
            return;
        }
        if (command == "OBJ8_AIRCRAFT") {
            if (n < 2) return d_.Fail(line.Number, "OBJ8_AIRCRAFT needs a name");
            CloseModel();
            const std::string id = Rest(w, 1);
            if (!ids_.insert(id).second)
                return d_.Fail(line.Number, "a second model named '" + id + "'");
            model_ = CslModel{};
            model_.Id = id;
            model_.Line = line.Number;
            open_ = true;
            return;
        }
        if (command == "OBJ8") {
            if (!InModel(line) || !arity(3, 5)) return;
            CslObject object{w[1], w[2], "", "", ""};
            const std::string& path = w[3];
            if (path.size() < 5 || Upper(path.substr(path.size() - 4)) != ".OBJ")
                return d_.Fail(line.Number, "'" + path + "' is not an .obj file");
            if (!Resolve(path, line.Number, object.Path, false, "")) return;
            const std::string folder = fs::path(object.Path).parent_path().string();
            if (n > 4 && !Resolve(w[4], line.Number, object.Texture, true, folder)) return;
            if (n > 5 && !Resolve(w[5], line.Number, object.LitTexture, true, folder)) return;
            model_.Objects.push_back(std::move(object));
            return;
        }
        if (command == "TEXTURE") {
            if (!InModel(line) || !arity(1, 1)) return;
            Resolve(w[1], line.Number, model_.Texture, true, d_.Folder);
            return;
        }
        if (command == "VERT_OFFSET") {
            if (!InModel(line) || !arity(1, 1)) return;
            char* end = nullptr;
            const double v = std::strtod(w[1].c_str(), &end);
            if (end == w[1].c_str() || *end || !std::isfinite(v) || std::fabs(v) > 100)
                return d_.Fail(line.Number, "VERT_OFFSET: '" + w[1] + "' is not metres");
            model_.HasVertOffset = true;
            model_.VertOffset = v;
            return;
        }
        if (command == "ICAO" || command == "AIRLINE" || command == "LIVERY" ||
            command == "MATCHES") {
            if (!InModel(line)) return;
            const std::size_t want = command == "ICAO" ? 1 : command == "AIRLINE" ? 2 : 3;
            // A livery is free text and may hold spaces; MATCHES may stop early.
            if (command == "MATCHES" ? n < 2 : n - 1 < want)
                return d_.Fail(line.Number, command + ": wrong number of words");
            if (command == "ICAO" && n > 2) return d_.Fail(line.Number, "ICAO takes one type");
            if (command == "AIRLINE" && n > 3)
                return d_.Fail(line.Number, "AIRLINE takes a type and an operator");
            MatchKey key{Upper(w[1]), n > 2 ? Upper(w[2]) : "", n > 3 ? Upper(Rest(w, 3)) : ""};
            if (!IsCode(key.Type, 2, 4))
                return d_.Fail(line.Number, "'" + w[1] + "' is not a type designator");
            if (n > 2 && !IsCode(key.Airline, 2, 8))
                return d_.Fail(line.Number, "'" + w[2] + "' is not an operator code");
            model_.Matches.push_back(std::move(key));
            return;
        }
        if (command == "AIRCRAFT" || command == "OBJECT" || command == "OBJ7")
            return d_.Fail(line.Number, "old command " + command + " (only OBJ8 models are read)");
        d_.Fail(line.Number, "unknown command '" + command + "'");
    }

    Draft& d_;
    const std::map<std::string, std::size_t>& exported_;
    const std::vector<Draft>& all_;
    CslModel model_;
    bool open_ = false;
    std::set<std::string> ids_;
};

std::vector<std::string> FindPackageFiles(const std::vector<std::string>& folders,
                                          const ReadLimits& limits,
                                          std::vector<Problem>& problems) {
    std::vector<std::string> files;
    std::size_t entries = 0;
    for (const std::string& folder : folders) {
        std::error_code code;
        if (!fs::is_directory(folder, code)) {
            problems.push_back({folder, 0, "not a folder"});
            continue;
        }
        fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                            code),
            end;
        for (; !code && it != end; it.increment(code)) {
            if (++entries > limits.MaxEntries) {
                problems.push_back({folder, 0, "too many files; the rest is not read"});
                break;
            }
            if (it.depth() >= limits.MaxDepth) it.disable_recursion_pending();
            if (it->path().filename() == PackageFile && it->is_regular_file(code)) {
                files.push_back(it->path().string());
                if (files.size() > limits.MaxPackages) {
                    problems.push_back({folder, 0, "too many packages; the rest is not read"});
                    break;
                }
            }
        }
        if (code) problems.push_back({folder, 0, "cannot list: " + code.message()});
    }
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    return files;
}

}  // namespace

Collection ReadCollection(const std::vector<std::string>& folders, const ReadLimits& limits) {
    Collection out;
    std::vector<Draft> drafts;
    for (const std::string& file : FindPackageFiles(folders, limits, out.Problems)) {
        Draft d;
        d.File = file;
        d.Folder = fs::path(file).parent_path().string();
        ReadLines(d, limits);
        drafts.push_back(std::move(d));
    }
    // Names first, so a package may use one read after it.
    std::map<std::string, std::size_t> exported;
    for (std::size_t i = 0; i < drafts.size(); ++i) {
        Draft& d = drafts[i];
        if (d.Broken()) continue;
        const auto [at, fresh] = exported.emplace(d.Name, i);
        if (!fresh)
            d.Fail(d.NameLine,
                   "package name '" + d.Name + "' is also exported by " + drafts[at->second].File);
    }
    for (Draft& d : drafts)
        if (!d.Broken()) Parser(d, exported, drafts).Run();
    // A package leaning on a missing or broken one is broken too; repeat
    // until nothing changes, since that travels along chains.
    for (bool changed = true; changed;) {
        changed = false;
        for (Draft& d : drafts) {
            if (d.Broken()) continue;
            for (const auto& [name, line] : d.Uses) {
                const auto found = exported.find(name);
                if (found == exported.end()) {
                    d.Fail(line, "package '" + name + "' is not installed");
                } else if (drafts[found->second].Broken()) {
                    d.Fail(line, "package '" + name + "' is broken");
                }
                if (d.Broken()) {
                    changed = true;
                    break;
                }
            }
        }
    }
    std::vector<std::size_t> good;
    for (std::size_t i = 0; i < drafts.size(); ++i) {
        if (drafts[i].Broken())
            out.Problems.push_back(drafts[i].Trouble);
        else
            good.push_back(i);
    }
    std::sort(good.begin(), good.end(),
              [&](std::size_t a, std::size_t b) { return drafts[a].Name < drafts[b].Name; });
    for (std::size_t i : good) {
        Draft& d = drafts[i];
        d.Package.Name = d.Name;
        d.Package.Folder = d.Folder;
        d.Package.Models = d.Models.size();
        for (CslModel& m : d.Models) {
            m.Package = out.Packages.size();
            out.Models.push_back(std::move(m));
        }
        out.Packages.push_back(std::move(d.Package));
    }
    return out;
}

}  // namespace velmir::net::csl

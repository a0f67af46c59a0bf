// Packages made on the spot for the CSL tests: a temporary folder tree and
// small OBJ8 objects.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace velmir::net::csl::testing {

class TempTree {
  public:
    TempTree() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velmir-csl-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        root_ = pattern;
    }
    ~TempTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    std::string Path(const std::string& relative) const { return (root_ / relative).string(); }
    void Write(const std::string& relative, const std::string& content) const {
        const auto path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

  private:
    std::filesystem::path root_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A one-triangle object; `body` goes after the header (animations etc.).
inline std::string TinyObject(const std::string& texture = "", const std::string& body = "") {
    std::string text = "I\n800\nOBJ\n\n";
    if (!texture.empty()) text += "TEXTURE " + texture + "\n";
    text +=
        "POINT_COUNTS 3 0 0 3\n\nVT 0 -1.5 0 0 1 0 0 0\nVT 1 0 0 0 1 0 0 0\n"
        "VT 0 0 1 0 1 0 0 0\nIDX 0\nIDX 1\nIDX 2\n\n";
    text += body.empty() ? "TRIS 0 3\n" : body;
    return text;
}

}  // namespace velmir::net::csl::testing

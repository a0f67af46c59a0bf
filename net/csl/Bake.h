// Baking a CSL object at one fixed state. Our plugin shows slot objects
// without the per-aircraft libxplanemp/ datarefs those objects animate
// from, so each such animation is evaluated once (gear down, lights on,
// engines still, ...) and written back as a constant. Everything else in
// the object is kept as it was.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace velmir::net::csl {

struct BakeState {
    std::string Name;                      // part of the cache key
    std::map<std::string, double> Values;  // by name below libxplanemp/; unset = 0
    // The value an object reads: "[n]" and a trailing engine number are
    // dropped when the full name is not set.
    double Value(const std::string& dataref) const;
    static BakeState GearDown();  // nav and beacon on, the rest 0
    static BakeState GearUp();
};

constexpr const char* BakedPrefix = "libxplanemp/";

struct BakeResult {
    std::string Text;
    std::vector<std::string> Notes;  // things left as they were, each once
    bool HasVertex = false;
    double LowestY = 0;       // for models without VERT_OFFSET
    bool HasTexture = false;  // a TEXTURE line was seen
    bool HasLitTexture = false;
};

// `texture(keyword, path)` gives the new argument of a TEXTURE, TEXTURE_LIT
// or TEXTURE_NORMAL line (empty: keep it).
using TextureRename = std::function<std::string(const std::string&, const std::string&)>;
BakeResult BakeObject(const std::string& text, const BakeState&, const TextureRename& = {});

// Adds a line right after the "OBJ" header line (or at the end without one).
std::string InsertAfterHeader(const std::string& text, const std::string& line);

}  // namespace velmir::net::csl

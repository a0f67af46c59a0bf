// CSL model packages: the folders named by --csl hold packages, each with an
// xsb_aircraft.txt naming its models, their OBJ8 objects and the types,
// operators and liveries they stand for. Read once at start; a broken
// package is reported (file and line) and left out, never fatal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velmir::net::csl {

// What xsb_aircraft.txt says a model stands for; empty = any.
struct MatchKey {
    std::string Type, Airline, Livery;  // upper case
};

struct CslObject {
    std::string Part, Lod;            // SOLID YES, GLASS NO, ...
    std::string Path;                 // the .obj file
    std::string Texture, LitTexture;  // replacements for the object's own; empty = keep
};

struct CslModel {
    std::string Id;       // OBJ8_AIRCRAFT's name
    std::size_t Package;  // index into Collection::Packages
    int Line = 0;         // of its OBJ8_AIRCRAFT
    std::vector<CslObject> Objects;
    std::string Texture;  // the older TEXTURE line; empty = none
    bool HasVertOffset = false;
    double VertOffset = 0;
    std::vector<MatchKey> Matches;
};

struct CslPackage {
    std::string Name;    // EXPORT_NAME, or the folder's name without one
    std::string Folder;  // holds xsb_aircraft.txt
    std::vector<std::string> Dependencies;
    std::size_t Models = 0;
};

struct Problem {
    std::string File;
    int Line = 0;  // 0 = the file as a whole
    std::string Message;
    std::string Text() const;
};

// Limits on what we read, so a stray or hostile folder costs bounded time.
struct ReadLimits {
    std::size_t MaxFileBytes = 4u << 20;
    std::size_t MaxLineBytes = 2048;
    std::size_t MaxPackages = 20000;
    std::size_t MaxEntries = 2000000;  // directory entries walked
    int MaxDepth = 8;
};

struct Collection {
    std::vector<CslPackage> Packages;  // only the good ones
    std::vector<CslModel> Models;      // of good packages, in reading order
    std::vector<Problem> Problems;     // one per broken package, plus walk trouble
};

// Reads every xsb_aircraft.txt below `folders`. Packages are ordered by
// name so the result is the same whatever order the file system lists.
Collection ReadCollection(const std::vector<std::string>& folders, const ReadLimits& = {});

}  // namespace velmir::net::csl

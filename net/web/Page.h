// The map page's files, compiled into the program (net/web/Embed.cmake):
// the page itself and the libraries it uses, so no download is needed.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace velmir::net {

struct PageFile {
    const char* Path;  // as requested, e.g. "/lib/leaflet.js"
    const unsigned char* Data;
    std::size_t Size;
};

const std::vector<PageFile>& PageFiles();
// The file served at `path`, or nullptr.
const PageFile* FindPageFile(std::string_view path);
// Content type from the path's extension.
const char* ContentTypeOf(std::string_view path);

}  // namespace velmir::net

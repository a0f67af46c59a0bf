#include "net/web/Page.h"

namespace velmir::net {

const PageFile* FindPageFile(std::string_view path) {
    for (const PageFile& f : PageFiles())
        if (path == f.Path) return &f;
    return nullptr;
}

const char* ContentTypeOf(std::string_view path) {
    auto endsWith = [&](std::string_view suffix) {
        return path.size() >= suffix.size() && path.substr(path.size() - suffix.size()) == suffix;
    };
    if (endsWith(".html")) return "text/html; charset=utf-8";
    if (endsWith(".js")) return "text/javascript; charset=utf-8";
    if (endsWith(".css")) return "text/css; charset=utf-8";
    if (endsWith(".json")) return "application/json";
    if (endsWith(".png")) return "image/png";
    if (endsWith(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

}  // namespace velmir::net

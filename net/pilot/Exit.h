// The program's exit codes, shared by its commands (docs/network.md).
#pragma once

#include <cstdio>
#include <string>

namespace velmir::net {

constexpr int ExitOk = 0, ExitOther = 1, ExitUsage = 2, ExitRefused = 3, ExitTls = 4,
              ExitNoPlugin = 5;

// Prints "velmir-net: <message>" to stderr and returns `code`.
inline int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "velmir-net: %s\n", message.c_str());
    return code;
}

}  // namespace velmir::net

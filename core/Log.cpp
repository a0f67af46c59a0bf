#include "core/Log.h"

#include <cstdarg>
#include <cstdio>

#include "XPLMUtilities.h"

namespace velmir {

namespace {
char LogBuffer[256];
}

void LogMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(LogBuffer, sizeof LogBuffer, format, args);
    va_end(args);
    LogBuffer[sizeof LogBuffer - 1] = '\0';
    XPLMDebugString(LogBuffer);
}

int FormatString(char* buffer, std::size_t size, const char* format, ...) {
    if (buffer == nullptr || size == 0) return -1;
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    if (written < 0 || static_cast<std::size_t>(written) >= size) {
        buffer[0] = '\0';
        return -1;
    }
    return written;
}

}  // namespace velmir

// The log and bounded formatting, shared by every subsystem.
#pragma once

#include <cstddef>

namespace velmir {

// printf-style into the one 256-byte log buffer (cut at 255 characters),
// then to the simulator's log. Callers write the "Velmir: " prefix and the
// line break themselves.
void LogMessage(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// printf-style into a caller's buffer. Returns the characters written, or -1
// when formatting fails or the text does not fit; the buffer then holds "".
int FormatString(char* buffer, std::size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // namespace velmir

#include "traffic/TextFile.h"

#include <cstdlib>
#include <cstring>

namespace velmir {

bool ReadTextLine(std::FILE* file, char* buffer, std::size_t capacity) {
    std::size_t length = 0;
    bool readAny = false;
    bool pendingReturn = false;  // a carriage return not yet known to end the line
    auto store = [&](char c) {
        if (length + 1 < capacity) buffer[length++] = c;
    };
    for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
        readAny = true;
        if (c == '\n') {
            pendingReturn = false;
            break;
        }
        if (pendingReturn) store('\r');
        pendingReturn = (c == '\r');
        if (!pendingReturn) store(static_cast<char>(c));
    }
    if (pendingReturn) store('\r');  // a lone return at the end of the file is text
    buffer[length] = '\0';
    return readAny;
}

FieldCursor::FieldCursor(const char* line) : line_(line), length_(std::strlen(line)) {}

TextField FieldCursor::Next() {
    const char* start = line_ + position_;
    const void* space = std::memchr(start, ' ', length_ - position_);
    if (space == nullptr) return {start, length_ - position_};
    const std::size_t fieldLength =
        static_cast<std::size_t>(static_cast<const char*>(space) - start);
    position_ += fieldLength + 1;
    return {start, fieldLength};
}

float FieldToFloat(TextField field) {
    char text[TextLineCapacity];
    const std::size_t length = field.Length < sizeof text - 1 ? field.Length : sizeof text - 1;
    std::memcpy(text, field.Start, length);
    text[length] = '\0';
    return static_cast<float>(std::strtod(text, nullptr));
}

}  // namespace velmir

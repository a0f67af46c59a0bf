// Reading the small text files of a slot folder (object_list, cog): bounded
// lines and space-separated fields.
#pragma once

#include <cstddef>
#include <cstdio>

namespace velmir {

// Longer than any sensible object_list line (a 255-character path plus six
// numbers); see ReadTextLine for what happens to longer ones.
constexpr std::size_t TextLineCapacity = 512;

// Reads one line into buffer (capacity bytes, always terminated). A line ends
// at a line feed; a carriage return directly before it is dropped, as text
// mode would; a last line without a line feed still counts. A line longer
// than capacity - 1 keeps its first capacity - 1 characters and the rest of
// it, up to its line feed, is skipped, so the next call starts on the next
// line. Returns false only at end of file with nothing read.
bool ReadTextLine(std::FILE* file, char* buffer, std::size_t capacity);

struct TextField {
    const char* Start;
    std::size_t Length;
};

// Walks the fields of one line. A field runs up to the next single space.
// When no space is left, the field is the rest of the line and the reading
// position stays put, so every further field repeats that last text.
class FieldCursor {
  public:
    explicit FieldCursor(const char* line);
    TextField Next();

  private:
    const char* line_;
    std::size_t length_;
    std::size_t position_ = 0;
};

// The atof rule on one field only (leading white space skipped, the longest
// prefix that forms a number, 0 when none does), narrowed to float. An empty
// field is 0: the text after it is not looked at.
float FieldToFloat(TextField field);

}  // namespace velmir

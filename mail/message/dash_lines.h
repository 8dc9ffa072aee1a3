#pragma once
// Internal to the parser, its tests and its fuzzer.

#include <cstddef>
#include <string_view>
#include <vector>

namespace Vizu2000 {

// Where the lines that begin with "--" start. Only such a line can be a
// MIME delimiter (RFC 2046 section 5.1.1), so the parser looks for each
// boundary among them instead of searching the whole text once more for
// every multipart. A line starts at offset 0 and after every CR or LF.
struct TDashLines {
  std::vector<size_t> starts;  // ascending
  // False when the text had more such lines than were worth noting: the
  // list is then cut short and the parser searches the text instead.
  bool complete = true;
};

// How many lines a text of this size may note: a text of little else than
// dash lines would otherwise hold a list several times its own size.
size_t DashLineLimit(size_t textSize);

// Notes the dash lines of `text` and, when `copy` is not null, copies the
// text there in the same pass: a large text read twice over from memory
// costs as much as the rest of the parse.
TDashLines FindDashLines(std::string_view text, char* copy, size_t limit);

}  // namespace Vizu2000

// What a terminal shows of the tap's progress text.
#ifndef KAVTAP_TESTS_TERMINAL_TEXT_H
#define KAVTAP_TESTS_TERMINAL_TEXT_H

#include <string>

namespace taptest {

// Backspaces step back, other characters overwrite, a newline starts a new
// line; the last line as it reads at the end.
inline std::string rendered(const std::string &t) {
  std::string line;
  size_t col = 0;
  for (char c : t) {
    if (c == '\b') {
      col -= col > 0;
    } else if (c == '\n') {
      line.clear();
      col = 0;
    } else {
      if (col < line.size())
        line[col] = c;
      else
        line.push_back(c);
      col++;
    }
  }
  return line;
}

}  // namespace taptest

#endif

// The unit's text as a terminal or a CSV file shows it.
#pragma once

#include <string>

namespace tolvek {

// UTF-8 text with every C0 and C1 control character and DEL written as \xNN, never raw:
// a unit's bytes cannot move the engineer's cursor, retitle the terminal or hide lines.
std::string VisibleText(const std::string& utf8);

} // namespace tolvek

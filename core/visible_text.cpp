#include "core/visible_text.h"

#include <cstdio>

namespace tolvek {

std::string VisibleText(const std::string& utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        unsigned code = 0x100; // printable
        if (c < 0x20 || c == 0x7F)
            code = c;
        else if (c == 0xC2 && i + 1 < utf8.size()
                 && (static_cast<unsigned char>(utf8[i + 1]) & 0xE0) == 0x80)
            code = static_cast<unsigned char>(utf8[++i]); // U+0080..U+009F
        if (code == 0x100) {
            out += static_cast<char>(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", code);
        out += escaped;
    }
    return out;
}

} // namespace tolvek

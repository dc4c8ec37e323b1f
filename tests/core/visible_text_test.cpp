// What a terminal or a CSV file is shown of the unit's text: every C0 and C1 control and DEL
// as \xNN, everything else as it came.
#include "core/visible_text.h"

#include <gtest/gtest.h>

TEST(VisibleText, ControlsEscapedOthersKept)
{
    const struct
    {
        const char* text;
        const char* shown;
    } cases[] = {
            {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"}, // C0: a title change
            {"a\x7f"
             "b",
             "a\\x7fb"},                                               // DEL
            {"\xc2\x80\xc2\x85\xc2\x9b", "\\x80\\x85\\x9b"},           // C1: U+0080, NEL, CSI
            {"\xc2\x9f|\xc2\xa0|\xd0\x96", "\\x9f|\xc2\xa0|\xd0\x96"}, // U+009F; NBSP and Ж kept
            {"\xc2", "\xc2"}, // a lone lead byte is no control
            {"plain text <PASSED>", "plain text <PASSED>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tolvek::VisibleText(c.text), c.shown) << c.text;
}

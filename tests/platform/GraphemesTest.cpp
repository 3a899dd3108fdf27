#include <gtest/gtest.h>

#include "platform/Graphemes.h"

TEST(Graphemes, CountsAndCutsWhatAReaderSeesAsOneCharacter)
{
    // e + combining accent, a flag (two code points), a waving hand with a skin tone.
    const QString text = QString("cafe\u0301 ") + "🇩🇪" + "👋🏽" + "!";
    EXPECT_EQ(Graphemes::count(text), 8);
    EXPECT_EQ(Graphemes::count(""), 0);
    EXPECT_EQ(Graphemes::left(text, 4), "cafe\u0301");
    EXPECT_EQ(Graphemes::left(text, 6), QString("cafe\u0301 ") + "🇩🇪");
    EXPECT_EQ(Graphemes::left(text, 7), QString("cafe\u0301 ") + "🇩🇪" + "👋🏽");
    EXPECT_EQ(Graphemes::left(text, 100), text);
    EXPECT_EQ(Graphemes::left(text, 0), "");
}

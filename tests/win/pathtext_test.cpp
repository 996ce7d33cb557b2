// The shortening of the path line, as a pure function of a text and a limit.
#include <gtest/gtest.h>

#include "testutil.h"
#include "ui/ui.h"

namespace {

std::string Fit(const std::string& text, int limit)
{
    char shown[PathTextBufferSize + 8];
    memset(shown, 0x7F, sizeof(shown));
    FitPathText(shown, text.c_str(), limit);
    for (size_t i = PathTextBufferSize; i < sizeof(shown); i++)
        EXPECT_EQ(shown[i], 0x7F) << "written past the working buffer";
    return shown;
}

}  // namespace

TEST(PathText, WorkedExamplesAtLimitTwenty)
{
    EXPECT_EQ(Fit("C:/temp/a.txt", 20), "C:\\temp\\a.txt");
    EXPECT_EQ(Fit("D:\\Games\\Data\\Maps\\Scenario01\\map.dat", 20), "D:\\Games\\...\\map.dat");
    EXPECT_EQ(Fit("C:\\data\\archive\\readme.tx", 20), "C:\\data...\\readme.tx");
    EXPECT_EQ(Fit("C:\\x\\a_very_long_file_name.txt", 20), "...\\a_very_long_f...");
}

TEST(PathText, LimitBoundaries)
{
    const std::string exact = "C:\\abcdefgh\\ijk.txt";  // 19 bytes
    EXPECT_EQ(Fit(exact, 19), exact);
    // One byte over: the separator and the four characters before it give way.
    EXPECT_EQ(Fit(exact, 18), "C:\\abcd...\\ijk.txt");
    EXPECT_EQ(Fit(exact, 18).size(), 18u);

    // No separator: the whole text is the name, shortened from its end.
    EXPECT_EQ(Fit("abcdefghijklmnopqrstuvwxyz", 12), "...\\abcde...");
    // Ending in a separator: an empty name, so the text ends in "...\".
    EXPECT_EQ(Fit("C:\\first\\second\\third\\", 14), "C:\\first\\s...\\");
    // Forward slashes in a shortened text end up as backslashes too.
    EXPECT_EQ(Fit("C:/first/second/third/name.txt", 20), "C:\\first...\\name.txt");
}

TEST(PathText, DoubleByteCharactersAreNeverSplit)
{
    // 表 (95 5C) just before the cut in name mode: stepped over whole, so the
    // result ends one byte below the limit.
    const std::string text = "C:\\ab\x95\x5c\x95\x5cxyz\\name.txt";  // 21 bytes
    EXPECT_EQ(Fit(text, 20), "C:\\ab\x95\x5c...\\name.txt");
    EXPECT_EQ(Fit(text, 19), Fit(text, 20));
    EXPECT_EQ(Fit(text, 18), "C:\\ab...\\name.txt");
    // Tail mode inside a name of double-byte characters.
    const std::string name = "\x83\x5c\x83\x5c\x83\x5c\x83\x5c\x83\x5c\x83\x5c\x83\x5c\x83\x5c";
    const std::string shown = Fit(name, 12);
    EXPECT_EQ(shown, "...\\\x83\x5c\x83\x5c...");
    EXPECT_EQ(shown.size(), 11u);  // a double-byte step lands one below the limit
    // A 5C second byte is not turned from a "slash" into anything else.
    EXPECT_EQ(Fit("a\x95\x5c/b", 40), "a\x95\x5c\\b");
}

TEST(PathText, OverlongTextsStayInsideTheBuffers)
{
    // A directory part right up to the 259-byte limit: the first pass of name
    // mode briefly makes the text three bytes longer.
    const std::string longDir = "C:\\" + std::string(250, 'd') + "\\" + "a.txt";  // 259 bytes
    EXPECT_EQ(Fit(longDir, 20), "C:\\dddddddd...\\a.txt");

    // Longer than 259 bytes: the end of the text is shown.
    const std::string tooLong = "C:\\" + std::string(400, 'x') + "\\tail.txt";
    EXPECT_EQ(Fit(tooLong, 400), std::string(250, 'x') + "\\tail.txt");
    EXPECT_EQ(Fit(tooLong, 20), "xxxxxxxx...\\tail.txt");

    // A name too long for "...\" in front of it.
    const std::string longName = "C:\\dir\\" + std::string(252, 'n');
    EXPECT_EQ(Fit(longName, 20), "...\\nnnnnnnnnnnnn...");
    EXPECT_EQ(Fit(std::string(300, 'n'), 30), "...\\" + std::string(23, 'n') + "...");

    // Limits below any sensible width end rather than loop; an empty text
    // stays empty whatever the limit.
    EXPECT_EQ(Fit("", -1), "");
    EXPECT_EQ(Fit("C:\\dir\\name.txt", 2), "...");
    EXPECT_EQ(Fit("C:\\dir\\name.txt", -5), "...");
}

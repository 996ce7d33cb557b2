// The tests rely on a Japanese system: ANSI code page 932 (Shift-JIS).  A
// wrong set-up must fail here rather than let double-byte tests pass vacuously.
#include <gtest/gtest.h>
#include <windows.h>

TEST(Environment, AnsiCodePageIsShiftJis)
{
    EXPECT_EQ(GetACP(), 932u);
    EXPECT_TRUE(IsDBCSLeadByte(0x95));   // first byte of a two-byte character
    EXPECT_FALSE(IsDBCSLeadByte(0x5C));  // the backslash
}

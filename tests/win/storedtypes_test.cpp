// The stored-type rule: the extension of the final component, any letter case.
#include <gtest/gtest.h>

#include "archive/archive.h"
#include "sfxwriter.h"

TEST(StoredTypes, ListAndMatching)
{
    int count = 0;
    for (const char* const* type = StoredTypeList; **type; type++) {
        SCOPED_TRACE(*type);
        count++;
        EXPECT_TRUE(IsStoredType(*type));  // a name that is the extension alone
        EXPECT_TRUE(IsStoredType((std::string("C:\\d\\x") + *type).c_str()));
    }
    EXPECT_EQ(count, 17);
    // The builder's copy of the list is the stub's.
    for (int i = 0; i <= count; i++)
        EXPECT_STREQ(sfx::StoredTypes[i], StoredTypeList[i]);
    EXPECT_STREQ(StoredTypeList[3], ".KVX");
    EXPECT_STREQ(StoredTypeList[17], "");

    struct Case {
        const char* path;
        bool stored;
    };
    const Case cases[] = {
        {"a.zip", true},          {"a.ZiP", true},         {"a.zipx", false},
        {"a.tar.gz", true},       {"a.gz.txt", false},     {"name.z", true},
        {"dir.zip\\readme", false}, {"a.zi p", false},     {"a.zip ", false},
        {"noextension", false},   {"C:\\x\\\x95\x5c.LZH", true}, {".profile", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsStoredType(c.path), c.stored) << c.path;
}

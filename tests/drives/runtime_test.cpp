#include <gtest/gtest.h>

#include "drives/runtime.h"

using namespace bm;

TEST(Runtime, ConversionsOfStoredText) {
    EXPECT_EQ(CLng("3"), 3);
    EXPECT_EQ(CLng(" -12 "), -12);
    EXPECT_EQ(CLng("2.5"), 2);  // half to even
    EXPECT_EQ(CLng("3.5"), 4);
    EXPECT_EQ(CLng("2147483647"), 2147483647);
    const auto error = [](const char* text) {
        try {
            CLng(text);
        } catch (const RuntimeError& e) {
            return e.Number();
        }
        return 0;
    };
    for (const char* bad : {"", " ", "x", "1x", "--1", ".", "0x10", "1 2"}) {
        EXPECT_EQ(error(bad), kErrTypeMismatch) << bad;
    }
    for (const char* big : {"2147483648", "-2147483649", "99999999999999999999999999"}) {
        EXPECT_EQ(error(big), kErrOverflow) << big;
    }
    EXPECT_EQ(CBool("True"), vbTrue);
    EXPECT_EQ(CBool("FALSE"), vbFalse);
    EXPECT_EQ(CBool(" true "), vbTrue);
    EXPECT_EQ(CBool("-1"), vbTrue);
    EXPECT_EQ(CBool("0"), vbFalse);
    EXPECT_THROW(CBool("yes"), RuntimeError);
    EXPECT_EQ(CStr(vbTrue), "True");
    EXPECT_EQ(CStr(vbFalse), "False");
}

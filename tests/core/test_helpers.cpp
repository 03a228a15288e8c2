#include <cmath>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include <QString>

#include <gtest/gtest.h>

#include "helpers.h"
#include "testsupport.h"

namespace
{

const double kEps10 = std::pow(0.1, 10.0);
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct CompareCase {
    const char* what;
    double a;
    double b;
    unsigned n;
    bool zeroA; // IsZero(a, n)
    bool equal;
    bool greater;
    bool less;
    bool greaterOrEqual;
};

// The differences are built against b = 0 so that a - b is exactly a.
const std::vector<CompareCase> kCompareCases = {
    { "zero", 0.0, 0.0, 10, true, true, false, false, true },
    { "exactly eps", kEps10, 0.0, 10, true, false, false, false, false },
    { "exactly -eps", -kEps10, 0.0, 10, true, false, false, false, false },
    { "just below eps", std::nextafter(kEps10, 0.0), 0.0, 10, true, true, false, false, true },
    { "just above eps", std::nextafter(kEps10, 1.0), 0.0, 10, false, false, true, false, true },
    { "just above -eps", std::nextafter(-kEps10, 0.0), 0.0, 10, true, true, false, false, true },
    { "just below -eps", std::nextafter(-kEps10, -1.0), 0.0, 10, false, false, false, true, false },
    { "literal 1e-10 is inside eps", 1e-10, 0.0, 10, true, true, false, false, true },
    { "prices equal", 3521.5, 3521.5, 10, false, true, false, false, true },
    { "price up a tick", 3522.0, 3521.5, 10, false, false, true, false, true },
    { "price down a tick", 3521.0, 3521.5, 10, false, false, false, true, false },
    { "n = 0: tolerance one, boundary", 1.0, 0.0, 0, true, false, false, false, false },
    { "n = 0: inside", 0.5, 0.0, 0, true, true, false, false, true },
    { "n = 0: outside", 1.5, 0.0, 0, false, false, true, false, true },
    { "n = 2", 0.011, 0.0, 2, false, false, true, false, true },
    { "equal infinities", kInf, kInf, 10, false, false, false, false, false },
    { "infinity above one", kInf, 1.0, 10, false, false, true, false, true },
    { "minus infinity below one", -kInf, 1.0, 10, false, false, false, true, false },
    { "NaN first", kNaN, 1.0, 10, false, false, false, false, false },
    { "NaN second", 1.0, kNaN, 10, false, false, false, false, false },
};

} // namespace

TEST(Helpers, ToleranceIsThePowerFunctionsValue)
{
    // A hair above the literal 1e-10: the boundary cases below rely on it.
    EXPECT_GT(kEps10, 1e-10);
    EXPECT_TRUE(IsZero(kEps10, 10));
    EXPECT_FALSE(IsZero(std::nextafter(kEps10, 1.0), 10));
}

TEST(Helpers, ComparisonsWithTheirStrictness)
{
    for (const auto& c : kCompareCases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(IsZero(c.a, c.n), c.zeroA);
        EXPECT_EQ(IsEqual(c.a, c.b, c.n), c.equal);
        EXPECT_EQ(IsGreater(c.a, c.b, c.n), c.greater);
        EXPECT_EQ(IsLess(c.a, c.b, c.n), c.less);
        EXPECT_EQ(IsGreaterOrEqual(c.a, c.b, c.n), c.greaterOrEqual);
    }
}

TEST(Helpers, IsZeroOnNaNAndInfinity)
{
    EXPECT_FALSE(IsZero(kNaN, 10));
    EXPECT_FALSE(IsZero(kInf, 10));
    EXPECT_FALSE(IsZero(-kInf, 10));
    EXPECT_TRUE(IsZero(-0.0, 10));
}

TEST(Helpers, MsToStringInLocalTime)
{
    struct Case {
        const char* tz;
        long long ms;
        const char* expected;
    };
    const Case cases[] = {
        { "UTC0", 0, "1970-01-01 00:00:00.000" },
        { "UTC0", 7, "1970-01-01 00:00:00.007" },
        { "UTC0", 999, "1970-01-01 00:00:00.999" },
        { "UTC0", 1000, "1970-01-01 00:00:01.000" },
        { "UTC0", 1234567890123LL, "2009-02-13 23:31:30.123" },
        { "UTC0", 253402300799999LL, "9999-12-31 23:59:59.999" },
        // Eight hours east of UTC: the epoch is eight in the morning locally.
        { "CST-8", 0, "1970-01-01 08:00:00.000" },
        { "CST-8", 1544225656512LL, "2018-12-08 07:34:16.512" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.ms));
        ScopedEnv tz("TZ", c.tz);
        tzset();
        const std::string text = MsToString(c.ms);
        EXPECT_EQ(text, c.expected);
        EXPECT_EQ(text.size(), 23u);
    }
    tzset();
}

TEST(Helpers, Utf8ToAnsiOnUtf8Locale)
{
    ScopedLocale locale("C.UTF-8");
    ASSERT_TRUE(locale.ok());
    struct Case {
        const char* what;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        { "empty", "", "" },
        { "ascii", "FO_CL_1906 abc", "FO_CL_1906 abc" },
        { "chinese", "原油 期货", "原油 期货" },
        { "four-byte character", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80" },
        { "cut at the first NUL", std::string("ab\0cd", 5), "ab" },
        { "stray continuation byte", "a\x80z", "a\xEF\xBF\xBDz" },
        { "overlong form", "\xC0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD" },
        { "encoded surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" },
        { "truncated at the end", "\xE4\xB8", "\xEF\xBF\xBD" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Utf8ToAnsi(c.in), c.out);
    }
}

TEST(Helpers, Utf8ToAnsiOnGbkLocale)
{
    ScopedLocale locale("zh_CN.GBK");
    if (!locale.ok())
        GTEST_SKIP() << "zh_CN.GBK is not installed (scripts/setup.sh generates it)";
    EXPECT_EQ(Utf8ToAnsi("中文"), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(Utf8ToAnsi("abc"), "abc");
    EXPECT_EQ(Utf8ToAnsi(""), "");
    // GBK has no emoji: the default character stands in.
    EXPECT_EQ(Utf8ToAnsi("a\xF0\x9F\x98\x80z"), "a?z");
    // Invalid UTF-8 decodes as U+FFFD, which GBK cannot hold either.
    EXPECT_EQ(Utf8ToAnsi("a\xFFz"), "a?z");
}

TEST(Helpers, MultiByteToWString)
{
    ScopedLocale locale("C.UTF-8");
    ASSERT_TRUE(locale.ok());
    struct Case {
        const char* what;
        const char* text;
        unsigned codePage;
        std::wstring expected;
    };
    const Case cases[] = {
        { "null pointer", nullptr, 0, L"" },
        { "empty, ANSI", "", 0, L"" },
        { "empty, UTF-8", "", 65001, L"" },
        { "ascii link", "http://127.0.0.1/a?source=x&id=1", 0, L"http://127.0.0.1/a?source=x&id=1" },
        { "UTF-8 code page", "中文", 65001, L"\u4e2d\u6587" },
        { "ANSI is UTF-8 here", "中文", 0, L"\u4e2d\u6587" },
        { "explicit GBK code page", "\xD6\xD0\xCE\xC4", 936, L"\u4e2d\u6587" },
        { "unknown code page", "abc", 4242424, L"" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(MultiByteToWString(c.text, c.codePage), c.expected);
    }
}

TEST(Helpers, MultiByteToWStringOnGbkLocale)
{
    ScopedLocale locale("zh_CN.GBK");
    if (!locale.ok())
        GTEST_SKIP() << "zh_CN.GBK is not installed";
    EXPECT_EQ(MultiByteToWString("\xD6\xD0\xCE\xC4", 0), L"\u4e2d\u6587");
    // A lead byte without its trail byte at the end of the text.
    EXPECT_EQ(MultiByteToWString("a\xD6", 0), L"a\uFFFD");
}

TEST(Helpers, SplitString)
{
    struct Case {
        std::string text;
        char delimiter;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        { "FO_CL_1906", '_', { "FO", "CL", "1906" } },
        { "FO_CL", '_', { "FO", "CL" } },
        { "a__b", '_', { "a", "", "b" } },
        { "a_", '_', { "a" } },
        { "_a", '_', { "", "a" } },
        { "_", '_', { "" } },
        { "__", '_', { "", "" } },
        { "", '_', {} },
        { "abc", '_', { "abc" } },
        { "x,y", ',', { "x", "y" } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(SplitString(c.text, c.delimiter), c.pieces);
    }
}

#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <langinfo.h>
#include <link.h>
#include <unistd.h>

#include <QProcess>
#include <QString>
#include <QTextCodec>

#include <gtest/gtest.h>

#include "platform.h"
#include "testsupport.h"

namespace
{

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

} // namespace

TEST(Platform, ExecutablePathNamesThisProgram)
{
    const std::string path = platform::ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_NE(path.find("core_test_platform"), std::string::npos) << path;
    EXPECT_TRUE(platform::PathExists(path));
}

#if !defined(__SANITIZE_THREAD__)
// Run through the dynamic loader as a command, /proc/self/exe names the
// loader; the path must still be this program's, or the log lands beside the
// loader. (ThreadSanitizer cannot run a program that the loader maps itself.)
TEST(Platform, ExecutablePathNamesThisProgramWhenTheLoaderRunsIt)
{
    std::string loader;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* out) {
            for (int i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_INTERP)
                    *static_cast<std::string*>(out)
                        = reinterpret_cast<const char*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
            return 1;
        },
        &loader);
    ASSERT_FALSE(loader.empty());
    QProcess run;
    run.start(QString::fromStdString(loader),
        { QString::fromStdString(platform::ExecutablePath()),
            "--gtest_filter=Platform.ExecutablePathNamesThisProgram" });
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.exitCode(), 0) << run.readAll().toStdString();
    EXPECT_TRUE(run.readAllStandardOutput().contains("[  PASSED  ] 1 test"));
}
#endif

TEST(Platform, LocalTimeNowMatchesTheCalendar)
{
    ScopedEnv tz("TZ", "CST-8");
    tzset();
    using std::chrono::system_clock;
    const std::time_t before = system_clock::to_time_t(system_clock::now());
    const platform::LocalTime now = platform::LocalTimeNow();
    const std::time_t after = system_clock::to_time_t(system_clock::now());
    tzset();

    std::tm lo {}, hi {};
    ASSERT_TRUE(platform::ToLocalCalendar(before, &lo));
    ASSERT_TRUE(platform::ToLocalCalendar(after, &hi));
    auto key = [](int y, int mo, int d, int h, int mi, int s) {
        return ((((static_cast<long long>(y) * 13 + mo) * 32 + d) * 24 + h) * 60 + mi) * 61 + s;
    };
    const long long got = key(now.year, now.month, now.day, now.hour, now.minute, now.second);
    EXPECT_GE(got, key(lo.tm_year + 1900, lo.tm_mon + 1, lo.tm_mday, lo.tm_hour, lo.tm_min, lo.tm_sec));
    EXPECT_LE(got, key(hi.tm_year + 1900, hi.tm_mon + 1, hi.tm_mday, hi.tm_hour, hi.tm_min, hi.tm_sec));
    EXPECT_GE(now.millisecond, 0);
    EXPECT_LE(now.millisecond, 999);
}

TEST(Platform, ToLocalCalendarFollowsTheTimeZone)
{
    ScopedEnv tz("TZ", "CST-8");
    tzset();
    std::tm tm {};
    ASSERT_TRUE(platform::ToLocalCalendar(0, &tm));
    tzset();
    EXPECT_EQ(tm.tm_year, 70);
    EXPECT_EQ(tm.tm_hour, 8);
}

TEST(Platform, FoldersAndRenames)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string sub = dir / "Logs";
    EXPECT_FALSE(platform::PathExists(sub));
    EXPECT_TRUE(platform::MakeDirectory(sub));
    EXPECT_TRUE(platform::PathExists(sub));
    EXPECT_FALSE(platform::MakeDirectory(sub)) << "an existing folder is not made again";
    EXPECT_FALSE(platform::MakeDirectory(dir / "missing/child")) << "one level only";

    const std::string a = dir / "a.log", b = dir / "b.log";
    WriteAll(a, "first");
    WriteAll(b, "second");
    EXPECT_FALSE(platform::RenameNoReplace(a, b)) << "a taken name is never replaced";
    EXPECT_EQ(ReadAll(a), "first");
    EXPECT_EQ(ReadAll(b), "second");

    const std::string c = dir / "c.log";
    EXPECT_TRUE(platform::RenameNoReplace(a, c));
    EXPECT_FALSE(platform::PathExists(a));
    EXPECT_EQ(ReadAll(c), "first");
    EXPECT_FALSE(platform::RenameNoReplace(dir / "nothing.log", dir / "d.log"));
}

TEST(Platform, AnsiCharsetFollowsTheLocale)
{
    {
        ScopedLocale c("C");
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(platform::AnsiCharset(), "UTF-8") << "the ASCII-only C locale counts as UTF-8";
    }
    {
        ScopedLocale utf8("C.UTF-8");
        ASSERT_TRUE(utf8.ok());
        EXPECT_EQ(platform::AnsiCharset(), "UTF-8");
    }
    ScopedLocale gbk("zh_CN.GBK");
    if (!gbk.ok())
        GTEST_SKIP() << "zh_CN.GBK is not installed";
    EXPECT_EQ(platform::AnsiCharset(), "GBK");
}

TEST(Platform, WideConversionsRoundTrip)
{
    const std::wstring wide = L"FO_CL \u4e2d\u6587 \U0001F600";
    EXPECT_EQ(platform::MultiByteToWide(nullptr, 3, platform::kCodePageUtf8), L"");
    const std::string utf8 = platform::WideToMultiByte(wide, platform::kCodePageUtf8);
    EXPECT_EQ(utf8, "FO_CL \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80");
    EXPECT_EQ(platform::MultiByteToWide(utf8.data(), utf8.size(), platform::kCodePageUtf8), wide);

    // Surrogates and values beyond Unicode have no UTF-8 form.
    const std::wstring bad = { L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), L'b' };
    EXPECT_EQ(platform::WideToMultiByte(bad, platform::kCodePageUtf8), "a??b");

    const std::string gbk = platform::WideToMultiByte(L"\u4e2d\u6587\U0001F600", 936);
    EXPECT_EQ(gbk, "\xD6\xD0\xCE\xC4?");
    EXPECT_EQ(platform::MultiByteToWide(gbk.data(), gbk.size(), 936), L"\u4e2d\u6587?");
    // An invalid GBK trail byte decodes as one replacement and the walk goes on.
    const std::string broken = "\xD6\x20z";
    EXPECT_EQ(platform::MultiByteToWide(broken.data(), broken.size(), 936).back(), L'z');
}

TEST(Platform, InitLocaleLetsQtReadTheLocalCharset)
{
    ScopedLocale restore("C.UTF-8");
    ScopedEnv env("LC_ALL", "zh_CN.GBK");
    platform::InitLocale();
    if (std::string(nl_langinfo(CODESET)) != "GBK")
        GTEST_SKIP() << "zh_CN.GBK is not installed";
    const std::wstring wide = L"\u884c\u60c5"; // "quotes" in Chinese
    const std::string local = platform::WideToMultiByte(wide, platform::kCodePageAnsi);
    EXPECT_EQ(local, "\xD0\xD0\xC7\xE9");
    EXPECT_EQ(QString::fromLocal8Bit(local.c_str()), QString::fromStdWString(wide));
    EXPECT_EQ(QTextCodec::codecForLocale()->name(), QByteArray("GBK"));
}

TEST(Platform, OpenUrlGoesThroughTheHandler)
{
    std::vector<std::string> opened;
    auto previous = platform::SetOpenUrlHandler([&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    EXPECT_TRUE(platform::OpenUrl(std::string("http://127.0.0.1:1/a?source=x&id=1")));
    EXPECT_TRUE(platform::OpenUrl(std::wstring(L"http://127.0.0.1:1/\u4e2d")));
    platform::SetOpenUrlHandler([](const std::string&) { return false; });
    EXPECT_FALSE(platform::OpenUrl(std::string("http://127.0.0.1:1/b")));
    platform::SetOpenUrlHandler(previous);

    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], "http://127.0.0.1:1/a?source=x&id=1");
    EXPECT_EQ(opened[1], "http://127.0.0.1:1/\xE4\xB8\xAD");
}

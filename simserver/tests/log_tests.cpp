#include <gtest/gtest.h>

#include <string>

#include "ServiceLog.h"
#include "TestDirs.h"

namespace {

SYSTEMTIME g_now;
void FixedClock(SYSTEMTIME* now) { *now = g_now; }

void SetNow(int year, int month, int day, int hour, int minute, int second) {
    ZeroMemory(&g_now, sizeof g_now);
    g_now.wYear = static_cast<WORD>(year);
    g_now.wMonth = static_cast<WORD>(month);
    g_now.wDay = static_cast<WORD>(day);
    g_now.wHour = static_cast<WORD>(hour);
    g_now.wMinute = static_cast<WORD>(minute);
    g_now.wSecond = static_cast<WORD>(second);
}

class ServiceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        simserver::SetLogClock(FixedClock);
        SetNow(2026, 3, 7, 9, 5, 3);
    }
    void TearDown() override { simserver::SetLogClock(nullptr); }

    simtest::ScratchCurrentDir scratch_;
};

TEST_F(ServiceLogTest, LineHasDateTimeTabMessageInTheDaysFile) {
    simserver::LogLine("NO INICIADO (%d)", 1004);
    simserver::LogLine("INICIADO");
    // Text mode: each line ends CR LF on disk, as any Windows editor expects.
    EXPECT_EQ("07-03-2026 09:05:03\tNO INICIADO (1004)\r\n07-03-2026 09:05:03\tINICIADO\r\n",
              simtest::ReadFileBytes("LOGGS\\ZubOpcSrv@07-03-2026.log"));
}

TEST_F(ServiceLogTest, FieldsArePaddedAndYearHasFourDigits) {
    SetNow(987, 12, 31, 23, 59, 58);
    simserver::LogLine("DETENIDO");
    EXPECT_EQ("31-12-0987 23:59:58\tDETENIDO\r\n",
              simtest::ReadFileBytes("LOGGS\\ZubOpcSrv@31-12-0987.log"));
}

TEST_F(ServiceLogTest, MessagesOf255CharactersOrMoreAndEmptyOnesAreDropped) {
    simserver::LogLine("%s", "");
    EXPECT_FALSE(simtest::FileExists("LOGGS\\ZubOpcSrv@07-03-2026.log"));

    const std::string longest(254, 'x');
    simserver::LogLine("%s", std::string(255, 'y').c_str());
    simserver::LogLine("%s", std::string(4000, 'z').c_str());
    simserver::LogLine("%s", longest.c_str());
    simserver::LogLine("%s%s", std::string(200, 'a').c_str(), std::string(60, 'b').c_str());
    EXPECT_EQ("07-03-2026 09:05:03\t" + longest + "\r\n",
              simtest::ReadFileBytes("LOGGS\\ZubOpcSrv@07-03-2026.log"));
}

TEST_F(ServiceLogTest, EachDayGetsItsOwnFileAndEarlierLinesStay) {
    SetNow(2026, 12, 31, 23, 59, 59);
    simserver::LogLine("INICIADO");
    SetNow(2027, 1, 1, 0, 0, 1);
    simserver::LogLine("DETENIDO");
    SetNow(2026, 12, 31, 23, 59, 59);
    simserver::LogLine("INICIADO");

    EXPECT_EQ("31-12-2026 23:59:59\tINICIADO\r\n31-12-2026 23:59:59\tINICIADO\r\n",
              simtest::ReadFileBytes("LOGGS\\ZubOpcSrv@31-12-2026.log"));
    EXPECT_EQ("01-01-2027 00:00:01\tDETENIDO\r\n",
              simtest::ReadFileBytes("LOGGS\\ZubOpcSrv@01-01-2027.log"));
}

TEST_F(ServiceLogTest, AFileThatCannotBeOpenedLosesTheLineQuietly) {
    // A plain file named LOGGS stands where the folder should be.
    FILE* blocker = std::fopen("LOGGS", "wb");
    ASSERT_NE(nullptr, blocker);
    std::fclose(blocker);
    simserver::LogLine("INICIADO");
    EXPECT_EQ("", simtest::ReadFileBytes("LOGGS"));

    DeleteFileA("LOGGS");
    simserver::LogLine("DETENIDO");
    EXPECT_EQ("07-03-2026 09:05:03\tDETENIDO\r\n",
              simtest::ReadFileBytes("LOGGS\\ZubOpcSrv@07-03-2026.log"));
}

TEST_F(ServiceLogTest, RealClockNamesTodaysFile) {
    simserver::SetLogClock(nullptr);
    SYSTEMTIME before;
    GetLocalTime(&before);
    simserver::LogLine("INICIADO");
    SYSTEMTIME after;
    GetLocalTime(&after);
    char name[64];
    std::snprintf(name, sizeof name, "LOGGS\\ZubOpcSrv@%02d-%02d-%04d.log", before.wDay,
                  before.wMonth, before.wYear);
    std::string text = simtest::ReadFileBytes(name);
    if (before.wDay != after.wDay) GTEST_SKIP() << "midnight passed during the test";
    ASSERT_EQ(30u, text.size()) << text;
    EXPECT_EQ("\tINICIADO\r\n", text.substr(19));
}

}  // namespace

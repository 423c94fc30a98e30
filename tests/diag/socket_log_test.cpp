#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/mfc/CTimeClock.h"
#include "talven.h"

namespace fs = std::filesystem;

namespace {

std::atomic<std::time_t> g_now{0};
std::time_t FixedClock() { return g_now.load(); }
// Advances one second per reading: a call that read the clock twice would show it.
std::time_t TickingClock() { return g_now.fetch_add(1); }

// Each test runs in a fresh temporary directory as the current directory, with the clock
// fixed at 7 March 2010, 09:05:01 local time.
class SocketLog : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::current_path();
        // Unique per run: the same suite may run in several builds at once.
        dir_ = fs::temp_directory_path() /
               ("talven_log_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "_" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directories(dir_));
        fs::current_path(dir_);
        SetTime(2010, 3, 7, 9, 5, 1);
        talven::mfc::SetCurrentTimeClock(&FixedClock);
    }
    void TearDown() override {
        talven::mfc::SetCurrentTimeClock(nullptr);
        fs::current_path(home_);
        fs::remove_all(dir_);
    }

    static void SetTime(int y, int mo, int d, int h, int mi, int s) {
        g_now = CTime(y, mo, d, h, mi, s).GetTime();
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    fs::path home_;
    fs::path dir_;
};

const char kPrefix[] = "[2010-03-07 09:05:01] ";
const char kFile[] = "Socket20100307.log";

TEST_F(SocketLog, FirstCallCreatesTheDaysFileLaterCallsAppend) {
    ASSERT_FALSE(fs::exists(kFile));
    QmSocketLog("first %d", 1);
    EXPECT_EQ(Read(kFile), "[2010-03-07 09:05:01] first 1\r\n");
    SetTime(2010, 3, 7, 17, 30, 0);
    QmSocketLog("%s", "second");
    EXPECT_EQ(Read(kFile),
              "[2010-03-07 09:05:01] first 1\r\n"
              "[2010-03-07 17:30:00] second\r\n");
}

TEST_F(SocketLog, ExistingFileKeepsItsBytes) {
    const std::string old("earlier\r\nno line end\0here", 25);
    {
        std::ofstream out(kFile, std::ios::binary);
        out << old;
    }
    QmSocketLog("new");
    EXPECT_EQ(Read(kFile), old + kPrefix + "new\r\n");
}

// The message starts at the 23rd character; every "\n" in it is stored as CR LF, and the
// lines after it carry no prefix.
TEST_F(SocketLog, MessageFollowsTheTwentyTwoCharacterPrefix) {
    const std::string longText(5000, 'm');
    struct Case {
        std::string message;
        std::string stored;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"a\nb", "a\r\nb"},
        {"ends in newline\n", "ends in newline\r\n"},
        {"\n\n", "\r\n\r\n"},
        {"100% sure", "100% sure"},
        {longText, longText},
    };
    for (const Case& c : cases) {
        fs::remove(kFile);
        QmSocketLog("%s", c.message.c_str());
        const std::string content = Read(kFile);
        ASSERT_GE(content.size(), 22u);
        EXPECT_EQ(content.substr(0, 22), kPrefix);
        EXPECT_EQ(content.substr(22), c.stored + "\r\n") << "message: " << c.message.substr(0, 40);
    }
}

TEST_F(SocketLog, DateOfPrefixAndFileNameComeFromOneReading) {
    SetTime(2010, 3, 7, 23, 59, 59);
    talven::mfc::SetCurrentTimeClock(&TickingClock);
    QmSocketLog("last second");
    QmSocketLog("next day");
    EXPECT_EQ(Read(kFile), "[2010-03-07 23:59:59] last second\r\n");
    EXPECT_EQ(Read("Socket20100308.log"), "[2010-03-08 00:00:00] next day\r\n");
}

// Another open holds the file, whatever its share mode: the call returns and writes nothing.
TEST_F(SocketLog, FileHeldByAnotherOpenLosesTheLine) {
    for (UINT share : {UINT(CFile::shareCompat), UINT(CFile::shareDenyNone)}) {
        {
            CStdioFile holder(kFile, CFile::modeCreate | CFile::modeWrite | share);
            QmSocketLog("lost");
        }
        EXPECT_EQ(fs::file_size(kFile), 0u) << share;
    }
    QmSocketLog("kept");
    EXPECT_EQ(Read(kFile), std::string(kPrefix) + "kept\r\n");
}

// A holder that lets go within a moment (a viewer reading the file, say) costs no line, and the
// line lands after what the holder wrote.
TEST_F(SocketLog, FileHeldForAMomentStillGetsTheLine) {
    std::atomic<bool> holding{false};
    std::thread holder([&] {
        CStdioFile file(kFile, CFile::modeCreate | CFile::modeWrite);
        file.WriteString("held\n");
        holding = true;
        Sleep(30);
        file.Close();
    });
    while (!holding) Sleep(1);
    QmSocketLog("waited");
    holder.join();
    EXPECT_EQ(Read(kFile), std::string("held\r\n") + kPrefix + "waited\r\n");
}

TEST_F(SocketLog, UnwritablePlacesLoseTheLineSilently) {
    fs::create_directory(kFile);  // the day's file name is taken by a directory
    QmSocketLog("lost");
    EXPECT_TRUE(fs::is_directory(kFile));
    EXPECT_TRUE(fs::is_empty(kFile));

    // A current directory that no longer exists. Windows does not let a process remove its
    // current directory (it is in use), so there this part has nothing to try.
    const fs::path gone = dir_ / "gone";
    fs::create_directory(gone);
    fs::current_path(gone);
    std::error_code inUse;
    if (fs::remove(gone, inUse)) {
        QmSocketLog("lost too");
        EXPECT_FALSE(fs::exists(gone));
    }
}

TEST_F(SocketLog, LinesFollowTheCurrentDirectory) {
    fs::create_directory(dir_ / "a");
    fs::create_directory(dir_ / "b");
    fs::current_path(dir_ / "a");
    QmSocketLog("in a");
    fs::current_path(dir_ / "b");
    QmSocketLog("in b");
    EXPECT_EQ(Read(dir_ / "a" / kFile), std::string(kPrefix) + "in a\r\n");
    EXPECT_EQ(Read(dir_ / "b" / kFile), std::string(kPrefix) + "in b\r\n");
}

// Calls of one process never lose a line to each other, and lines never interleave.
TEST_F(SocketLog, ConcurrentCallsKeepEveryLineWhole) {
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                QmSocketLog("thread %d line %d", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    const std::string content = Read(kFile);
    std::vector<int> next(kThreads, 0);
    int lines = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "unterminated line at byte " << start;
        const std::string line = content.substr(start, end - start);
        ASSERT_EQ(line.substr(0, 22), kPrefix) << line;
        int t = -1;
        int i = -1;
        char tail = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + 22, "thread %d line %d%c", &t, &i, &tail), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]) << line;  // each thread's lines in its own order, none missing
        next[t] = i + 1;
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(lines, kThreads * kLines);
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

}  // namespace

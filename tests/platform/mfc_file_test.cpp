#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "talven.h"

namespace fs = std::filesystem;

namespace {

class CStdioFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Unique per run: the same suite may run in several builds at once.
        dir_ = fs::temp_directory_path() /
               ("talven_file_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "_" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directories(dir_));
        path_ = (dir_ / "data.txt").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Contents() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Put(const std::string& bytes) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    // Opens path_ and returns the cause of the CFileException thrown, or -1 if none was.
    int CauseOfOpen(UINT flags) const {
        try {
            CStdioFile file(path_.c_str(), flags);
        } catch (CFileException* error) {
            const int cause = error->m_cause;
            EXPECT_STREQ(error->m_strFileName, path_.c_str());
            error->Delete();
            return cause;
        }
        return -1;
    }

    fs::path dir_;
    std::string path_;
};

constexpr UINT kAppend = CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite;

TEST_F(CStdioFileTest, TextModeStoresNewlineAsCrLf) {
    CStdioFile file(path_.c_str(), kAppend);
    file.WriteString("one\ntwo\n\nend");
    file.Write("\n", 1);
    file.Close();
    EXPECT_EQ(Contents(), "one\r\ntwo\r\n\r\nend\r\n");
}

TEST_F(CStdioFileTest, BinaryModeStoresBytesUnchanged) {
    CStdioFile file(path_.c_str(), kAppend | CFile::typeBinary);
    file.WriteString("one\ntwo\r\n");
    file.Close();
    EXPECT_EQ(Contents(), "one\ntwo\r\n");
}

TEST_F(CStdioFileTest, NoTruncateAppendsAfterTheLastByte) {
    Put(std::string("old\0bytes", 9));
    CStdioFile file(path_.c_str(), kAppend);
    EXPECT_EQ(file.Seek(0, CFile::end), 9);
    file.WriteString("new\n");
    file.Close();
    EXPECT_EQ(Contents(), std::string("old\0bytesnew\r\n", 14));
}

TEST_F(CStdioFileTest, CreateWithoutNoTruncateEmptiesTheFile) {
    Put("old content");
    CStdioFile file(path_.c_str(), CFile::modeCreate | CFile::modeWrite);
    file.WriteString("x");
    file.Close();
    EXPECT_EQ(Contents(), "x");
}

// An open without share flags is exclusive: a second open fails while the first holds the
// file, whatever its flags, and a refused truncating open leaves the holder's bytes alone. (On
// Windows the holder also keeps out every other reader, so the bytes are read afterwards.)
TEST_F(CStdioFileTest, SecondOpenFailsWhileTheFirstHoldsTheFile) {
    {
        CStdioFile holder(path_.c_str(), kAppend);
        holder.WriteString("held\n");
        EXPECT_EQ(CauseOfOpen(kAppend), CFileException::sharingViolation);
        EXPECT_EQ(CauseOfOpen(CFile::modeCreate | CFile::modeWrite),
                  CFileException::sharingViolation);
        EXPECT_EQ(CauseOfOpen(CFile::modeRead | CFile::shareDenyNone),
                  CFileException::sharingViolation);
    }
    EXPECT_EQ(Contents(), "held\r\n");
    EXPECT_EQ(CauseOfOpen(kAppend), -1);  // released by the holder's destructor
}

TEST_F(CStdioFileTest, SharedOpensCoexistButExcludeAnExclusiveOne) {
    Put("x");
    CStdioFile first(path_.c_str(), CFile::modeRead | CFile::shareDenyNone);
    EXPECT_EQ(CauseOfOpen(CFile::modeRead | CFile::shareDenyNone), -1);
    EXPECT_EQ(CauseOfOpen(kAppend), CFileException::sharingViolation);
    first.Close();
    EXPECT_EQ(CauseOfOpen(kAppend), -1);
}

// A missing file is fileNotFound; a missing directory on the way to it is badPath ("all or part
// of the path is invalid", CFileException::m_cause in Microsoft's MFC reference), as Windows
// reports ERROR_PATH_NOT_FOUND for it.
TEST_F(CStdioFileTest, FailuresThrowOrReportTheCause) {
    EXPECT_EQ(CauseOfOpen(CFile::modeRead), CFileException::fileNotFound);
    path_ = (dir_ / "missing" / "data.txt").string();
    EXPECT_EQ(CauseOfOpen(kAppend), CFileException::badPath);
    EXPECT_EQ(CauseOfOpen(CFile::modeRead), CFileException::badPath);
    path_ = dir_.string();
    EXPECT_EQ(CauseOfOpen(kAppend), CFileException::accessDenied);
    EXPECT_EQ(CauseOfOpen(CFile::modeRead), CFileException::accessDenied);

    CStdioFile file;
    CFileException error;
    EXPECT_FALSE(file.Open((dir_ / "nope").string().c_str(), CFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
    bool threw = false;
    try {
        file.WriteString("closed");
    } catch (CFileException* e) {
        threw = e->m_cause == CFileException::invalidFile;
        e->Delete();
    }
    EXPECT_TRUE(threw);
}

TEST_F(CStdioFileTest, ReadStringReturnsLinesWithoutTheirEnds) {
    Put("first\r\nsecond\n\r\nlast");
    CStdioFile file(path_.c_str(), CFile::modeRead);
    CString line;
    std::vector<std::string> lines;
    while (file.ReadString(line)) {
        lines.emplace_back(line.GetString());
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", "", "last"}));
}

// Reading ahead must not move the position that a following write uses.
TEST_F(CStdioFileTest, WriteAfterReadGoesAfterWhatWasRead) {
    Put("a\r\nb\r\n");
    CStdioFile file(path_.c_str(), CFile::modeReadWrite);
    CString line;
    ASSERT_TRUE(file.ReadString(line));
    EXPECT_STREQ(line, "a");
    file.WriteString("X\n");
    file.Close();
    EXPECT_EQ(Contents(), "a\r\nX\r\n");
}

}  // namespace

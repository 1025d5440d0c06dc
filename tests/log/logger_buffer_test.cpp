// The log file writer against real files in a private temporary folder; file
// contents are read back as UTF-16LE bytes.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "log/ZkLogger.h"
#include "log/ZkLoggerBuffer.h"

namespace {

const wchar_t kHeader[] = L"\r\n2026.05.13 [SERVICE]: Build test header\r\n";
const wchar_t kSddl[] = L"D:(A;;GA;;;WD)";

std::string Bytes(const std::wstring& s) {
    return std::string(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(wchar_t));
}
// A new file: the header, then the runs.
std::string New(const std::wstring& runs) { return Bytes(kHeader + runs); }

// Whole file as bytes; "<missing>" when it cannot be opened.
std::string ReadAll(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got) out.append(buf, got);
    CloseHandle(h);
    return out;
}

void WriteText(const std::wstring& path, const std::wstring& text) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size() * 2), &put, nullptr);
    CloseHandle(h);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void DeleteTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((dir + L"*").c_str(), &fd);
    if (f != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) DeleteTree(dir + name + L"\\");
            else DeleteFileW((dir + name).c_str());
        } while (FindNextFileW(f, &fd));
        FindClose(f);
    }
    RemoveDirectoryW(dir.c_str());
}

// Stands in for the directory query: Wine cannot create mount-point junctions.
struct FakeReparse {
    DWORD attributes = FILE_ATTRIBUTE_DIRECTORY;
    DWORD tag = 0;
    int calls = 0;
    int junctionFromCall = 1;  // calls before this one see a plain directory
    std::wstring lastDirectory;
    static DWORD Query(void* ctx, const wchar_t* dir, DWORD* tag) {
        FakeReparse* self = static_cast<FakeReparse*>(ctx);
        self->lastDirectory = dir;
        if (++self->calls < self->junctionFromCall) return FILE_ATTRIBUTE_DIRECTORY;
        *tag = self->tag;
        return self->attributes;
    }
};

class LoggerBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        wchar_t tmp[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        m_dir = std::wstring(tmp) + L"zklogbuf-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++serial) + L"\\";
        DeleteTree(m_dir);
        ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr));
        m_logger.reset(new CZkLogger(m_dir.c_str()));
        m_base = m_dir + L"zksndapi";
    }
    void TearDown() override {
        m_logger.reset();
        DeleteTree(m_dir);
    }
    std::unique_ptr<CZkLoggerBuffer> Make(uint32_t maxSize, uint32_t rotation, uint32_t async = 0,
                                          const wchar_t* sddl = kSddl) {
        return std::unique_ptr<CZkLoggerBuffer>(
            new CZkLoggerBuffer(m_logger.get(), m_base.c_str(), sddl, maxSize, async, kHeader, rotation));
    }
    static void Write(CZkLoggerBuffer& b, const std::wstring& s) {
        EXPECT_EQ(1u, b.Process(reinterpret_cast<const uint8_t*>(s.data()), s.size() * 2, 1));
    }
    std::wstring Current() const { return m_base + L".txt"; }
    std::wstring Numbered(int k) const {
        wchar_t suffix[16];
        swprintf(suffix, 16, L"(%02d).txt", k);
        return m_base + suffix;
    }
    std::vector<int> NumberedPresent() const {
        std::vector<int> out;
        for (int k = 1; k <= 99; ++k)
            if (Exists(Numbered(k))) out.push_back(k);
        return out;
    }

    std::wstring m_dir, m_base;
    std::unique_ptr<CZkLogger> m_logger;
};

TEST_F(LoggerBufferTest, NewFileStartsWithHeaderAndKeepsRunsInOrder) {
    auto b = Make(1 << 20, 10);
    EXPECT_FALSE(b->IsFileOpen());  // opened lazily
    Write(*b, L"one\r\n");
    Write(*b, L"two\r\n");
    EXPECT_TRUE(b->IsFileOpen());
    EXPECT_EQ(New(L"one\r\ntwo\r\n"), ReadAll(Current()));
    EXPECT_TRUE(NumberedPresent().empty());
}

TEST_F(LoggerBufferTest, RestartOnExistingFileAppendsWithoutHeader) {
    Write(*Make(1 << 20, 10), L"one\r\n");
    Write(*Make(1 << 20, 10), L"two\r\n");
    EXPECT_EQ(New(L"one\r\ntwo\r\n"), ReadAll(Current()));
}

TEST_F(LoggerBufferTest, FirstWriteChecksTheSizeOfAnExistingFile) {
    struct Case { const wchar_t* existing; uint32_t limit; bool rotates; };
    const Case cases[] = {
        {L"", 1, false},                      // empty: never rotated, and it exists, so no header
        {L"0123456789", 20, false},           // exactly at the limit
        {L"0123456789", 19, true},            // one byte over: rotated before the run is written
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "limit " << c.limit);
        DeleteFileW(Numbered(1).c_str());
        WriteText(Current(), c.existing);
        Write(*Make(c.limit, 10), L"run");
        if (c.rotates) {
            EXPECT_EQ(Bytes(c.existing), ReadAll(Numbered(1)));
            EXPECT_EQ(New(L"run"), ReadAll(Current()));
        } else {
            EXPECT_FALSE(Exists(Numbered(1)));
            EXPECT_EQ(Bytes(std::wstring(c.existing) + L"run"), ReadAll(Current()));
        }
    }
}

TEST_F(LoggerBufferTest, FirstRotationCompactsNumberedFiles) {
    struct Case {
        uint32_t rotation;
        std::vector<int> present;
        std::vector<int> keptFrom;  // numbered file k+1 afterwards holds the old file keptFrom[k]
    };
    const Case cases[] = {
        {10, {1, 2, 5}, {1, 2, 5}},
        {10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {10, {}, {}},
        {3, {3, 7, 9}, {7, 9}},
        {1, {1}, {}},
        {0, {1, 2}, {}},  // 0 counts as 1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "rotation " << c.rotation << ", " << c.present.size() << " present");
        for (int k : NumberedPresent()) DeleteFileW(Numbered(k).c_str());
        for (int k : c.present) WriteText(Numbered(k), L"old " + std::to_wstring(k));
        WriteText(Current(), L"full");
        auto b = Make(4, c.rotation);
        Write(*b, L"run");
        const int full = static_cast<int>(c.keptFrom.size()) + 1;
        EXPECT_EQ(static_cast<uint32_t>(full), b->GetRotationIndex());
        std::vector<int> expected;
        for (int k = 1; k <= full; ++k) expected.push_back(k);
        EXPECT_EQ(expected, NumberedPresent());
        for (size_t k = 0; k < c.keptFrom.size(); ++k)
            EXPECT_EQ(Bytes(L"old " + std::to_wstring(c.keptFrom[k])), ReadAll(Numbered(static_cast<int>(k) + 1)));
        EXPECT_EQ(Bytes(L"full"), ReadAll(Numbered(full)));
        EXPECT_EQ(New(L"run"), ReadAll(Current()));
    }
}

// The size is examined on the first write and then on every 5000th; the index
// counts up and compaction runs again once it reaches the rotation number.
TEST_F(LoggerBufferTest, SizeCheckCadenceAndCountingUp) {
    auto b = Make(4, 3);
    const int writes = 4 * CZkLoggerBuffer::kSizeCheckInterval + 1;
    for (int i = 0; i < writes; ++i) {
        Write(*b, std::wstring(1, static_cast<wchar_t>(L'a' + i / CZkLoggerBuffer::kSizeCheckInterval)));
        if (i == static_cast<int>(CZkLoggerBuffer::kSizeCheckInterval) - 1) {
            EXPECT_TRUE(NumberedPresent().empty()) << "rotated before the 5000th write";
        }
    }
    const std::wstring run(CZkLoggerBuffer::kSizeCheckInterval, L'x');
    auto generation = [&](wchar_t letter) { return Bytes(std::wstring(kHeader) + std::wstring(run.size(), letter)); };
    EXPECT_EQ((std::vector<int>{1, 2, 3}), NumberedPresent());
    EXPECT_EQ(generation(L'b'), ReadAll(Numbered(1)));  // the 'a' file was the oldest and went
    EXPECT_EQ(generation(L'c'), ReadAll(Numbered(2)));
    EXPECT_EQ(generation(L'd'), ReadAll(Numbered(3)));
    EXPECT_EQ(New(L"e"), ReadAll(Current()));
    EXPECT_EQ(3u, b->GetRotationIndex());
}

TEST_F(LoggerBufferTest, FailedRenameKeepsTheFullFileAndRetriesTheSameNumber) {
    WriteText(Current(), L"full");
    // A reader without delete sharing blocks the rename but not the writer.
    HANDLE reader = CreateFileW(Current().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    auto b = Make(4, 10);
    Write(*b, L"run");
    EXPECT_TRUE(NumberedPresent().empty());
    EXPECT_EQ(Bytes(L"fullrun"), ReadAll(Current()));
    EXPECT_EQ(0u, b->GetRotationIndex());  // stepped back
    CloseHandle(reader);
    for (uint32_t i = 1; i < CZkLoggerBuffer::kSizeCheckInterval; ++i) Write(*b, L"x");
    Write(*b, L"next");
    EXPECT_EQ(std::vector<int>{1}, NumberedPresent());
    EXPECT_EQ(New(L"next"), ReadAll(Current()));
}

TEST_F(LoggerBufferTest, IdleCloseReleasesTheFileAndTheNextWriteReopensIt) {
    auto b = Make(1 << 20, 10);
    Write(*b, L"one");
    b->CloseIfIdle(60000);
    ASSERT_TRUE(b->IsFileOpen());
    EXPECT_FALSE(DeleteFileW(Current().c_str()));  // held open without delete sharing
    auto closeWhenIdle = [&] {
        for (int i = 0; i < 500 && b->IsFileOpen(); ++i) {
            Sleep(2);  // the idle time is measured in ticks: let at least one pass
            b->CloseIfIdle(0);
        }
        return !b->IsFileOpen();
    };
    ASSERT_TRUE(closeWhenIdle());
    Write(*b, L"two");  // reopened: the file exists, so no header
    EXPECT_EQ(New(L"onetwo"), ReadAll(Current()));

    ASSERT_TRUE(closeWhenIdle());
    ASSERT_TRUE(DeleteFileW(Current().c_str()));
    Write(*b, L"three");
    EXPECT_EQ(New(L"three"), ReadAll(Current()));
}

TEST_F(LoggerBufferTest, MissingDirectoryIsCreatedBySecondAttempt) {
    m_base = m_dir + L"deeper\\still\\zksndapi";
    Write(*Make(1 << 20, 10), L"run");
    EXPECT_EQ(New(L"run"), ReadAll(Current()));
}

TEST_F(LoggerBufferTest, OnlyAMountPointRefusesWriting) {
    struct Case { DWORD attributes; DWORD tag; bool writes; };
    const Case cases[] = {
        {FILE_ATTRIBUTE_DIRECTORY, 0, true},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, true},
        {INVALID_FILE_ATTRIBUTES, IO_REPARSE_TAG_MOUNT_POINT, true},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_MOUNT_POINT, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.attributes << " " << c.tag);
        DeleteFileW(Current().c_str());
        FakeReparse fake;
        fake.attributes = c.attributes;
        fake.tag = c.tag;
        auto b = Make(1 << 20, 10);
        b->SetReparseQuery(&FakeReparse::Query, &fake);
        Write(*b, L"run");
        EXPECT_EQ(c.writes, Exists(Current()));
        EXPECT_EQ(m_dir.substr(0, m_dir.size() - 1), fake.lastDirectory);  // no trailing backslash
    }
}

TEST_F(LoggerBufferTest, JunctionHoldsForFiveSecondsThenWritingResumes) {
    FakeReparse fake;
    fake.attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    fake.tag = IO_REPARSE_TAG_MOUNT_POINT;
    auto b = Make(1 << 20, 10);
    b->SetReparseQuery(&FakeReparse::Query, &fake);
    const ULONGLONG start = GetTickCount64();
    Write(*b, L"dropped");
    ASSERT_EQ(1, fake.calls);
    fake.attributes = FILE_ATTRIBUTE_DIRECTORY;  // the junction is gone
    ULONGLONG resumed = 0;
    while (GetTickCount64() - start < 10000) {
        Write(*b, L"run");
        if (Exists(Current())) {
            resumed = GetTickCount64() - start;
            break;
        }
        EXPECT_EQ(1, fake.calls) << "looked again while the hold lasted";
        Sleep(100);
    }
    EXPECT_GE(resumed, 4900u);  // tick granularity
    EXPECT_LE(resumed, 8000u);
    EXPECT_EQ(2, fake.calls);
    EXPECT_EQ(New(L"run"), ReadAll(Current()));
}

TEST_F(LoggerBufferTest, JunctionAtRotationMovesNothing) {
    WriteText(Current(), L"full");
    FakeReparse fake;
    fake.attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    fake.tag = IO_REPARSE_TAG_MOUNT_POINT;
    fake.junctionFromCall = 2;  // appears after the file was opened
    auto b = Make(4, 10);
    b->SetReparseQuery(&FakeReparse::Query, &fake);
    Write(*b, L"run");
    EXPECT_FALSE(b->IsFileOpen());
    EXPECT_TRUE(NumberedPresent().empty());
    EXPECT_EQ(Bytes(L"full"), ReadAll(Current()));
}

bool IsEveryoneFullAccess(PACL dacl, DWORD expectedMask) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!dacl || dacl->AceCount < 1 || !GetAce(dacl, 0, reinterpret_cast<void**>(&ace))) return false;
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(everyone);
    return CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidSize) &&
           ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && ace->Mask == expectedMask &&
           EqualSid(&ace->SidStart, everyone);
}

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST_F(LoggerBufferTest, CreatedFileGrantsEveryoneFullAccess) {
    auto b = Make(1 << 20, 10);
    const SECURITY_ATTRIBUTES* sa = b->GetSecurityAttributes();
    EXPECT_EQ(24u, sa->nLength);
    EXPECT_FALSE(sa->bInheritHandle);
    BOOL present = FALSE, defaulted = FALSE;
    PACL given = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present, &given, &defaulted));
    EXPECT_EQ(1, given->AceCount);
    EXPECT_TRUE(IsEveryoneFullAccess(given, GENERIC_ALL));

    Write(*b, L"run");
    // Wine 8 does not keep the descriptor given to CreateFileW: it reports one
    // derived from the Unix mode bits, so only Windows can show the stored ACE.
    if (RunningOnWine()) return;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetNamedSecurityInfoW(Current().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &sd));
    EXPECT_TRUE(IsEveryoneFullAccess(dacl, FILE_ALL_ACCESS));  // generic rights mapped for files
    LocalFree(sd);
}

TEST_F(LoggerBufferTest, AsyncRunsQueuedBeforeDestructionAreAllWritten) {
    std::wstring expected = kHeader;
    {
        auto b = Make(1 << 20, 10, 1);
        EXPECT_EQ(1u, b->IsAsync());
        for (int i = 0; i < 2000; ++i) {
            std::wstring line = L"line " + std::to_wstring(i) + L"\r\n";
            expected += line;
            ASSERT_EQ(1u, b->Push(line.data(), line.size() * 2));
        }
    }
    EXPECT_EQ(Bytes(expected), ReadAll(Current()));
    EXPECT_TRUE(DeleteFileW(Current().c_str())) << "the file stayed open after destruction";
}

// The worker may have just taken the last run when the drain sees the queue
// empty and signals quit; that run must still reach the file.
TEST_F(LoggerBufferTest, DrainNeverLosesTheLastRun) {
    int lost = 0;
    for (int round = 0; round < 200; ++round) {
        DeleteFileW(Current().c_str());
        {
            auto b = Make(1 << 20, 10, 1);
            for (const wchar_t* run : {L"a", L"b", L"c"}) b->Push(run, 2);
        }
        lost += ReadAll(Current()) != New(L"abc");
    }
    EXPECT_EQ(0, lost);
}

}  // namespace

// The log file writer against real files in a private folder.
#include "LoggerTestUtil.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "log/ZkLoggerBuffer.h"

namespace {

const std::wstring kHeader = L"\r\n2026.05.13 [SERVICE]: Build test header\r\n";

class LoggerBufferTest : public ::testing::Test {
protected:
    std::unique_ptr<CZkLoggerBuffer> Make(uint32_t maxSize, uint32_t rotation, uint32_t async = 0) {
        return std::unique_ptr<CZkLoggerBuffer>(new CZkLoggerBuffer(&logger_, base_.c_str(), L"D:(A;;GA;;;WD)",
                                                                    maxSize, async, kHeader.c_str(), rotation));
    }
    static void Write(CZkLoggerBuffer& b, const std::wstring& s) {
        b.Process(reinterpret_cast<const uint8_t*>(s.data()), s.size() * 2, 1);
    }
    std::wstring Current() const { return base_ + L".txt"; }
    std::wstring Numbered(int k) const { return base_ + (k < 10 ? L"(0" : L"(") + std::to_wstring(k) + L").txt"; }
    static void Put(const std::wstring& path, const std::wstring& text) {
        CHandleHolder h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD put = 0;
        ASSERT_TRUE(WriteFile(h.get(), text.data(), static_cast<DWORD>(text.size() * 2), &put, nullptr));
    }
    TempDir dir_;
    CZkLogger logger_{dir_.path.c_str()};
    std::wstring base_ = dir_.path + L"zksndapi";
};

// The first write finds the existing file over the limit and rotates at once:
// the numbered files are compacted, the full file takes the next number, and
// the run goes after the header of a new file.
TEST_F(LoggerBufferTest, FirstWriteRotatesAFullFileAndCompactsTheNumberedOnes) {
    const struct { uint32_t rotation; std::vector<int> present; const wchar_t* expected; } cases[] = {
        {10, {1, 2, 5}, L"1=o1 2=o2 3=o5 4=full "},
        {10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, L"1=o2 2=o3 3=o4 4=o5 5=o6 6=o7 7=o8 8=o9 9=o10 10=full "},
        {1, {1}, L"1=full "},
    };
    for (const auto& c : cases) {
        for (int k = 1; k <= 10; ++k) DeleteFileW(Numbered(k).c_str());
        for (int k : c.present) Put(Numbered(k), L"o" + std::to_wstring(k));
        Put(Current(), L"full");
        Write(*Make(4, c.rotation), L"run");
        std::wstring listing;  // "k=text " for every numbered file present
        for (int k = 1; k <= 99; ++k)
            if (ReadText(Numbered(k)) != L"<missing>") listing += std::to_wstring(k) + L"=" + ReadText(Numbered(k)) + L" ";
        EXPECT_EQ(listing, c.expected);
        EXPECT_EQ(ReadText(Current()), kHeader + L"run");
    }
}

TEST_F(LoggerBufferTest, JunctionHoldsWritingForFiveSecondsThenItResumes) {
    // stands in for the folder query: Wine cannot create mount-point junctions
    struct Folder { DWORD attributes; int calls; } fake = {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0};
    auto b = Make(1 << 20, 10);
    b->SetReparseQuery([](void* context, const wchar_t*, DWORD* tag) -> DWORD {
        Folder* folder = static_cast<Folder*>(context);
        *tag = IO_REPARSE_TAG_MOUNT_POINT;
        folder->calls++;
        return folder->attributes;
    }, &fake);
    const ULONGLONG start = GetTickCount64();
    Write(*b, L"dropped");
    fake.attributes = FILE_ATTRIBUTE_DIRECTORY;  // the junction is gone, but not looked at during the hold
    // keep writing until the folder is looked at again, and writing resumes with that run
    ASSERT_TRUE(WaitFor([&] { Write(*b, L"run"); return fake.calls > 1; }, 10000));
    const ULONGLONG resumed = GetTickCount64() - start;
    EXPECT_GE(resumed, 4900u);  // tick granularity
    EXPECT_LE(resumed, 8000u);
    EXPECT_EQ(ReadText(Current()), kHeader + L"run");  // nothing from the hold
}

std::wstring DaclText(PSECURITY_DESCRIPTOR sd) {
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
    std::wstring out = text ? text : L"<none>";
    LocalFree(text);
    return out;
}

TEST_F(LoggerBufferTest, CreatedFileGrantsEveryoneFullAccess) {
    auto b = Make(1 << 20, 10);
    Write(*b, L"run");
    EXPECT_EQ(DaclText(b->GetSecurityAttributes()->lpSecurityDescriptor), L"D:(A;;GA;;;WD)");  // one ACE only
    // Wine 8 does not keep the descriptor given to CreateFileW: it reports one
    // derived from the Unix mode bits, so only Windows can show the stored ACE.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) return;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(Current().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    nullptr, nullptr, &sd), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_NE(DaclText(sd).find(L"(A;;FA;;;WD)"), std::wstring::npos);  // generic rights mapped for files
    LocalFree(sd);
}

// Everything pushed before destruction reaches the file. Repeated, since the
// worker may have just taken the last run when the drain finds the queue empty.
TEST_F(LoggerBufferTest, AsyncRunsQueuedBeforeDestructionAreAllWritten) {
    base_ = dir_.path + L"deeper\\still\\zksndapi";  // a missing folder, created by the second attempt
    for (int round = 0; round < 100; ++round) {
        auto b = Make(1 << 20, 10, 1);
        for (const wchar_t* run : {L"a", L"b", L"c"}) ASSERT_EQ(1u, b->Push(run, 2));
        b.reset();
        ASSERT_EQ(ReadText(Current()), kHeader + L"abc") << "round " << round;
        ASSERT_TRUE(DeleteFileW(Current().c_str())) << "the file stayed open after destruction";
    }
}

}  // namespace

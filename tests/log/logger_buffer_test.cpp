// The log file writer against real files in a private folder.
#include "LoggerTestUtil.h"

#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "log/LogFileOps.h"
#include "log/ZkLoggerBuffer.h"
#include "support/ByteBlock.h"
#include "support/Dacl.h"
#include "support/Watchdog.h"

namespace {

DWORD g_put = 0;
const std::wstring kHeader = L"\r\n[SERVICE]: Build test header\r\n";  // no clock fields: written as it is

struct LoggerBufferTest : ::testing::Test {
    std::unique_ptr<CZkLoggerBuffer> Make(uint32_t maxSize, uint32_t rotation, uint32_t async = 0,
                                          const std::wstring& header = kHeader) {
        LogFileSetup files = {dir_.path, [this](wchar_t* prefix, const wchar_t* label) { return logger_.FormatPrefix(prefix, label); }};
        return std::unique_ptr<CZkLoggerBuffer>(new CZkLoggerBuffer(files, base_.c_str(), logger_.GetSecurityDescriptorString(),
                                                                    maxSize, async, header.c_str(), rotation));
    }
    static void Write(CZkLoggerBuffer& b, const std::wstring& s) { b.Process(reinterpret_cast<const uint8_t*>(s.data()), s.size() * 2, 1); }
    std::wstring Current() const { return base_ + L".txt"; }
    std::wstring Numbered(int k) const { return base_ + (k < 10 ? L"(0" : L"(") + std::to_wstring(k) + L").txt"; }
    static void Put(const std::wstring& path, const std::wstring& text) {
        CHandleHolder h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(WriteFile(h.get(), text.data(), static_cast<DWORD>(text.size() * 2), &g_put, nullptr));
    }
    testkit::Watchdog watchdog_{"a log writer test", 120000};  // held lock bytes, a slow disk, a file taken away
    TempDir dir_;
    CZkLogger logger_{dir_.path.c_str()};
    std::wstring base_ = dir_.path + L"zksndapi";
};

// The first write finds the existing file over the limit and rotates at once:
// the numbered files are compacted (one a viewer holds open keeps its number,
// and the numbering goes on after it), the full file takes the next number,
// and the run goes after the header of a new file, which carries the run's time.
// A folder that cannot be listed (Unlisted) is no room: nothing is numbered. A size that cannot be
// read before the append (SizeUnread) is the one read when the file was opened.
struct Compaction {
    const char* name; uint32_t rotation; std::vector<int> present; const wchar_t* expected; int held = 0;
    const char* failing = "";  // this import's call fails...
    long nth = 0;              // ...the nth on this thread
};
struct FirstWriteTest : LoggerBufferTest, ::testing::WithParamInterface<Compaction> {};

TEST_P(FirstWriteTest, RotatesAFullFileAndCompactsTheNumberedOnes) {
    const std::wstring header = L"\r\n2026.05.13 10:11:12.131 [SERVICE]: Build test header\r\n";
    const std::wstring run = L"2030.01.02 03:04:05.678 run";
    for (int k : GetParam().present) Put(Numbered(k), L"o" + std::to_wstring(k));
    Put(Current(), L"full");
    const int held = GetParam().held;  // opened without delete sharing: it cannot be renamed
    CHandleHolder viewer(held ? CreateFileW(Numbered(held).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr) : nullptr);
    ASSERT_TRUE(!held || viewer.is_valid());
    FaultsOnThisProgram();
    testkit::FailNthCall(GetParam().failing, GetParam().nth, ::GetCurrentThreadId());
    Write(*Make(4, GetParam().rotation, 0, header), run);
    testkit::StopFailing();
    std::wstring listing;  // "k=text " for every numbered file present
    for (int k = 1; k <= 99; ++k)
        if (ReadText(Numbered(k)) != L"<missing>") listing += std::to_wstring(k) + L"=" + ReadText(Numbered(k)) + L" ";
    EXPECT_EQ(listing, GetParam().expected) << "the numbered files";
    if (GetParam().failing == std::string("FindFirstFileW")) return;
    EXPECT_EQ(ReadText(Current()), L"\r\n2030.01.02 03:04:05.678 [SERVICE]: Build test header\r\n" + run)
        << "the new file: the header with the run's time, then the run";
}

INSTANTIATE_TEST_SUITE_P(
    Folders, FirstWriteTest,
    ::testing::Values(Compaction{"Gaps", 10, {1, 2, 5}, L"1=o1 2=o2 3=o5 4=full "},
                      Compaction{"Full", 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                                 L"1=o2 2=o3 3=o4 4=o5 5=o6 6=o7 7=o8 8=o9 9=o10 10=full "},
                      Compaction{"OneHeldOpen", 10, {1, 3, 5}, L"1=o1 3=o3 4=o5 5=full ", 3},
                      Compaction{"Unlisted", 10, {2, 3}, L"2=o2 3=o3 ", 0, "FindFirstFileW", 1},
                      Compaction{"SizeUnread", 10, {}, L"1=full ", 0, "GetFileSizeEx", 2}),
    ModeName<Compaction>);

// A viewer holds the numbered file open without delete sharing, so rotation
// (one numbered file kept) cannot make room: the current file takes appends
// up to twice its limit, then drops them. Once the viewer closes, the next
// retry rotates, and the new file says how many lines were dropped.
TEST_F(LoggerBufferTest, RotationBlockedByAHeldFileResumesAndTheFileStaysWithinTwiceTheLimit) {
    const uint32_t limit = 1000;
    auto b = Make(limit, 1);
    Put(Numbered(1), L"old");
    CHandleHolder viewer(CreateFileW(Numbered(1).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(viewer.is_valid());
    const std::wstring line = std::wstring(40, L'x') + L"\r\n";
    uint64_t largest = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 3 * CZkLoggerBuffer::kRotationRetryMs;) {
        Write(*b, line);  // past the limit, and retries that keep failing
        largest = std::max(largest, FileSize(Current()));
    }
    EXPECT_GT(largest, 2 * limit - line.size() * 2) << "appends went on past the limit";
    EXPECT_LE(largest, 2 * limit) << "never past twice the limit";
    EXPECT_EQ(ReadText(Numbered(1)), L"old");
    viewer.reset();
    ASSERT_TRUE(WaitFor([&] { Write(*b, L"after\r\n"); return ReadText(Numbered(1)) != L"old"; }, 10000));
    EXPECT_EQ(ReadText(Numbered(1)).find(kHeader + line), 0u);
    const std::wstring text = ReadText(Current());
    const std::wregex resumed(LR"(.*sndapi: CZkLoggerBuffer::WriteRuns: \(\d+\): [1-9]\d* lines were dropped: the log could )"
                              LR"(not be rotated, and the file was over 2 times its size limit\.\r\nafter\r\n)");
    EXPECT_EQ(text.substr(0, kHeader.size()), kHeader);
    EXPECT_TRUE(std::regex_match(text.substr(std::min(text.size(), kHeader.size())), resumed)) << text;
}

// Two writers on one file, as two processes: a reader that shares no deleting
// blocks the rotation of a full file, so B appends to it for a second before
// it tries again. Once the reader is gone, A rotates: B's next lines go to the
// new file at once, not into the numbered one (nor dropped past the hard limit).
TEST_F(LoggerBufferTest, AWriterWaitingToRetryARotationFollowsTheFileAnotherRotated) {
    const uint32_t limit = 1000;
    Put(Current(), std::wstring(limit / 2 + 50, L'f'));  // over the limit, within twice it: the first write tries to rotate it
    auto a = Make(limit, 10), b = Make(limit, 10);
    CHandleHolder reader(CreateFileW(Current().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.is_valid());
    Write(*b, L"b before\r\n");  // the rotation fails: B appends to the full file until its retry is due
    reader.reset();
    Write(*a, L"a\r\n");  // A has not failed: it rotates
    ASSERT_NE(ReadText(Numbered(1)).find(L"b before"), std::wstring::npos) << "rotated";
    Write(*b, L"b after\r\n");  // within B's second
    EXPECT_EQ(ReadText(Current()), kHeader + L"a\r\nb after\r\n");
}

// Another handle (any reader of the log could) holds lock bytes for 5 s. A
// holder that appends meanwhile makes progress: the writer waits it out. One
// that makes none (both bytes of a full file) is gone around after
// logfile::kLockStallMs for each byte, and the file is rotated all the same.
// Callers wait for the writer once, briefly, and no line is lost. A stop whose
// second runs out while a busy holder holds the byte does not go around it.
struct Holder { const char* name; bool appends; uint32_t maxSize; DWORD bytes; };
struct LockHolderTest : LoggerBufferTest, ::testing::WithParamInterface<Holder> {};

TEST_P(LockHolderTest, ABusyHolderIsWaitedOutAndOneWithoutProgressGoneAround) {
    auto b = Make(GetParam().maxSize, 99, 1);
    const std::wstring full = std::wstring(4000, L'f') + L"\r\n";  // over the limit; the lines are not
    if (!GetParam().appends) Write(*b, full);
    CHandleHolder holder(CreateFileW(Current().c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_ALWAYS, 0, nullptr));
    OVERLAPPED bytes = {};
    bytes.OffsetHigh = 0x40000000;  // 2^62: the append lock, and the rotation lock after it
    ASSERT_TRUE(LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, GetParam().bytes, 0, &bytes));
    DWORD slowest = 0, writtenAt = 0;
    std::wstring lines, holderLines;
    const DWORD start = GetTickCount();
    for (int k = 0; GetTickCount() - start < 5000; ++k) {  // the hold
        const std::wstring line = L"line " + std::to_wstring(k) + L"\r\n", own = L"holder " + std::to_wstring(k) + L"\r\n";
        const DWORD before = GetTickCount();
        b->AwaitWritten(b->QueueThrough(line.data(), line.size() * 2));
        slowest = std::max(slowest, GetTickCount() - before);
        lines += line;
        if (GetParam().appends && WriteFile(holder.get(), own.data(), DWORD(own.size() * 2), &g_put, nullptr)) holderLines += own;
        if (!writtenAt && ReadText(Current()).find(L"line 0") != std::wstring::npos) writtenAt = GetTickCount() - start;
        Sleep(50);
    }
    holder.reset();
    ASSERT_TRUE(WaitFor([&] { return b->GetUnwrittenRuns() == 0; }, 10000));
    b.reset();
    EXPECT_LT(slowest, 500u);
    if (GetParam().appends) {
        EXPECT_EQ(writtenAt, 0u) << "written while the busy holder held the byte";
        EXPECT_EQ(ReadText(Current()), holderLines + lines);
        holder.reset(CreateFileW(Current().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &bytes));
        b = Make(GetParam().maxSize, 99, 1);
        EXPECT_NE(b->Push(L"last\r\n", 12), 0u);
        b.reset();  // its second is over before the holder is 2 s without progress
        EXPECT_EQ(ReadText(Current()), holderLines + lines) << "written around the holder at the stop";
    } else {
        EXPECT_GE(writtenAt + 100, logfile::kLockStallMs) << "no wait, or none written while held";
        EXPECT_EQ(ReadText(Numbered(1)), kHeader + full);
        EXPECT_EQ(ReadText(Current()), kHeader + lines);
    }
}

INSTANTIATE_TEST_SUITE_P(Holders, LockHolderTest,
                         ::testing::Values(Holder{"Busy", true, 1 << 20, 1}, Holder{"WithoutProgress", false, 6000, 2}),
                         ModeName<Holder>);

// The current file is taken away under the open handle: renamed away, deleted
// (Windows 10 removes the name at once; Wine 8 keeps it until the last handle
// closes, which the writer's reopen is), or deleted while still open elsewhere
// under legacy semantics, where the name is denied while delete pending, or
// deleted and the new file opened by a reader that shares no writing (Wine
// cannot make the denials: they are substituted). Within about a second the
// lines go to a new file with its header, and those that met a denial wait, not dropped.
enum Away { kRenamed, kDeleted };
struct TakenAway { const char* name; Away away; DWORD denial; };
struct TakenAwayTest : LoggerBufferTest, ::testing::WithParamInterface<TakenAway> {};

TEST_P(TakenAwayTest, TheLinesGoToANewFileWithinASecond) {
    struct Denial { DWORD error; int denied; } denial = {0, 0};
    auto b = Make(1 << 20, 10);
    b->SetFileOpen([](void* c, const wchar_t* name, DWORD access, SECURITY_ATTRIBUTES* sa) -> HANDLE {
        Denial* d = static_cast<Denial*>(c);
        if (d->error == 0 || d->denied == 5) return CZkLoggerBuffer::OpenFileLive(nullptr, name, access, sa);
        ++d->denied;
        SetLastError(d->error);
        return INVALID_HANDLE_VALUE;
    }, &denial);
    Write(*b, L"before\r\n");
    const std::wstring away = dir_.path + L"away.txt";
    ASSERT_TRUE(GetParam().away != kRenamed || MoveFileW(Current().c_str(), away.c_str()));
    ASSERT_TRUE(DeleteFileW((GetParam().away == kRenamed ? away : Current()).c_str()));
    denial.error = GetParam().denial;
    const DWORD start = GetTickCount();
    ASSERT_TRUE(WaitFor([&] { Write(*b, L"after\r\n"); return ReadText(Current()).find(L"after") == kHeader.size(); }, 10000));
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_EQ(denial.denied, denial.error != 0 ? 5 : 0);
    // whole lines only, and no notice of a drop: the line that met the denial waited
    EXPECT_TRUE(std::regex_match(ReadText(Current()), std::wregex(LR"(\r\n\[SERVICE\]: Build test header\r\n(after\r\n)+)")));
}

INSTANTIATE_TEST_SUITE_P(Deletions, TakenAwayTest,
                         ::testing::Values(TakenAway{"Renamed", kRenamed, 0}, TakenAway{"Deleted", kDeleted, 0},
                                           TakenAway{"DeletePending", kDeleted, ERROR_ACCESS_DENIED},
                                           TakenAway{"OpenedBySomeoneSharingNoWriting", kDeleted, ERROR_SHARING_VIOLATION}),
                         ModeName<TakenAway>);

// The disk fills in the middle of an append (a write that falls short, and
// fails), then has room again: under the append lock the fragment is undone
// (the file's end set back), so no process sees it. Without the lock (a reader
// that makes no progress takes it as the file is made) the lines the cut left
// whole stay, the header's too, and the append goes on with the first it did
// not finish, on a line of its own and character-aligned; a retry that fails
// too counts only the lines not in the file. Lines another writer appended
// around a stalled lock after the cut are not undone with it. A fragment
// another writer left at an odd size is completed too. A header undone is written again, though the
// retry finds the file made; a new file gets it whole, once. (Appends that keep
// failing: ASlowDiskStallsNoCaller... below.)
enum class AtCut { kNothing, kRenamedAway, kAnotherAppends };
struct Disk {
    const char* name;
    int pass;          // writes that pass before the one cut short (-1: none)
    DWORD keep;        // the bytes it keeps (of the header and first line, or of a batch of two lines)
    int failures;      // writes that fail in a row (those after the first keep nothing)
    bool lockHeld;     // another process holds the append lock of the first file
    AtCut atCut;       // what else happens as the cut happens
    DWORD otherBytes;  // another writer leaves these before the batch
    const wchar_t* expected;
};
struct ShortWriteTest : LoggerBufferTest, ::testing::WithParamInterface<Disk> {};

TEST_P(ShortWriteTest, LeavesEveryLineOnceAndNoFragmentMisaligned) {
    struct Context { Disk disk; CHandleHolder reader; std::wstring name, away; } c{GetParam(), CHandleHolder(), Current(), dir_.path + L"away.txt"};
    auto b = Make(1 << 20, 10);
    b->SetFileOpen([](void* context, const wchar_t* name, DWORD access, SECURITY_ATTRIBUTES* sa) -> HANDLE {
        const HANDLE h = CZkLoggerBuffer::OpenFileLive(nullptr, name, access, sa);
        const DWORD made = GetLastError();  // whether the header is due
        Context* at = static_cast<Context*>(context);
        if (!at->reader.is_valid()) {  // another process opens the new file at once
            at->reader.reset(CreateFileW(name, GENERIC_READ | FILE_APPEND_DATA, logfile::kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
            OVERLAPPED byte = {};
            byte.OffsetHigh = 0x40000000;  // the append lock
            EXPECT_TRUE(!at->disk.lockHeld || LockFileEx(at->reader.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &byte));
        }
        SetLastError(made);
        return h;
    }, &c);
    b->SetFileWrite([](void* context, HANDLE file, const void* data, DWORD size, DWORD* written) -> BOOL {
        Context& at = *static_cast<Context*>(context);
        Disk& full = at.disk;
        if (full.pass-- > 0 || full.failures-- <= 0) return WriteFile(file, data, size, written, nullptr);
        WriteFile(file, data, std::min(size, full.keep), written, nullptr);
        full.keep = 0;
        EXPECT_TRUE(full.atCut != AtCut::kRenamedAway || MoveFileW(at.name.c_str(), at.away.c_str()));
        EXPECT_TRUE(full.atCut != AtCut::kAnotherAppends || WriteFile(at.reader.get(), L"other\r\n", 14, &g_put, nullptr));
        full.atCut = AtCut::kNothing;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }, &c);
    Write(*b, L"first\r\n");
    ASSERT_TRUE(WriteFile(c.reader.get(), L"other", c.disk.otherBytes, &g_put, nullptr));
    const std::wstring second = L"second\r\n";
    b->Process(reinterpret_cast<const uint8_t*>(second.data()), second.size() * 2, 0);  // more queued: joined to the next
    Write(*b, L"third\r\n");
    Write(*b, L"fourth\r\n");
    b.reset();
    const Disk& disk = GetParam();
    const std::wstring text = ReadText(Current()), cutHeader = disk.lockHeld && disk.pass == 0 && disk.atCut != AtCut::kRenamedAway ? L"\\[S\r\n" : L"";
    EXPECT_TRUE(std::regex_match(text, std::wregex(L"\r\n" + cutHeader + L"\\[SERVICE\\]: Build test header\r\nfirst\r\n" + disk.expected)))
        << text;
    if (disk.atCut == AtCut::kRenamedAway) {
        EXPECT_EQ(ReadText(c.away), L"\r\n[S");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Disks, ShortWriteTest,
    ::testing::Values(Disk{"RolledBack", 0, 21, 1, false, AtCut::kNothing, 0, L"second\r\nthird\r\nfourth\r\n"},  // the new file's header and first line
                      // the first line whole, the second cut inside its third character; a byte completes it
                      Disk{"CutWithoutTheLock", 1, 21, 1, true, AtCut::kNothing, 0, L"second\r\nthi\r\nthird\r\nfourth\r\n"},
                      Disk{"RetryFailsToo", 1, 21, 2, true, AtCut::kNothing, 0,
                           L"second\r\nthi\r\n.*WriteRuns: \\(\\d+\\): 1 lines were dropped: the log file could not be opened or written\\.\r\nfourth\r\n"},
                      Disk{"CutBetweenALinesEnds", 1, 14, 1, true, AtCut::kNothing, 0, L"second\r\nthird\r\nfourth\r\n"},
                      // the header's empty first line whole, its second cut after two characters
                      Disk{"HeaderCutWithoutTheLock", 0, 8, 1, true, AtCut::kNothing, 0, L"second\r\nthird\r\nfourth\r\n"},
                      Disk{"HeaderCutThenANewFile", 0, 8, 1, true, AtCut::kRenamedAway, 0, L"second\r\nthird\r\nfourth\r\n"},
                      Disk{"AnotherWriterAppendsAroundTheLock", 1, 16, 1, false, AtCut::kAnotherAppends, 0, L"second\r\nother\r\nthird\r\nfourth\r\n"},
                      Disk{"AnotherWritersOddFragment", -1, 0, 0, false, AtCut::kNothing, 5, L"oth\r\nsecond\r\nthird\r\nfourth\r\n"}),
    ModeName<Disk>);

// The writer with no memory to take a long line (its work buffer cannot grow)
// drops that line alone, and the next line says how many were lost and why; so
// does a line the queue has no memory for (in its own words, not the cap's).
void* NoLargeWork(void* block, size_t size) { return size >= 20000 && size < CBuffersList::kBufferSize ? nullptr : realloc(block, size); }
void* NoQueueBuffer(void* block, size_t size) { return size == CBuffersList::kBufferSize ? nullptr : realloc(block, size); }

TEST_F(LoggerBufferTest, ALineTheWriterHasNoMemoryForIsCountedAndTheNextGoesOn) {
    auto b = Make(1 << 20, 10, 1);
    const std::wstring first = L"first\r\n", longLine = std::wstring(12500, L'L') + L"\r\n", after = L"after\r\n";
    b->AwaitWritten(b->QueueThrough(first.data(), first.size() * 2));
    lumlib::SetReallocFn(&NoLargeWork);
    EXPECT_NE(b->Push(longLine.data(), longLine.size() * 2), 0u);
    b->AwaitWritten(b->QueueThrough(after.data(), after.size() * 2));
    lumlib::SetReallocFn(&NoQueueBuffer);  // a line of 1 MB takes more buffers than the queue keeps spare
    const std::wstring huge = std::wstring(500000, L'H') + L"\r\n", last = L"last\r\n";
    EXPECT_EQ(0u, b->Push(huge.data(), huge.size() * 2)) << "a line the queue had no memory for";
    lumlib::SetReallocFn(nullptr);
    b->AwaitWritten(b->QueueThrough(last.data(), last.size() * 2));
    b.reset();
    const std::wstring text = ReadText(Current()), dropped = L".*sndapi: CZkLoggerBuffer::WriteRuns: \\(\\d+\\): 1 lines were dropped: "
                                                                L"the log writer ran out of memory\\.\r\n";
    EXPECT_TRUE(std::regex_match(text, std::wregex(L"\r\n\\[SERVICE\\]: Build test header\r\nfirst\r\n" + dropped + L"after\r\n" +
                                                   dropped + L"last\r\n")))
        << text;
}

// On one CPU the writer woken by a line may take it before its caller goes
// on: once nothing waits, no byte stays counted as queued (a count left over
// by each such line would bring the queue's cap nearer for good).
TEST_F(LoggerBufferTest, NoByteStaysCountedAsQueuedWhenTheWriterTakesALineFirst) {
    DWORD_PTR mask = 0, system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &mask, &system));
    struct Restore { DWORD_PTR saved; ~Restore() { SetProcessAffinityMask(GetCurrentProcess(), saved); } } restore{mask};
    ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), mask & (~mask + 1)));  // its lowest CPU alone
    auto b = Make(1 << 24, 10, 1);
    const std::wstring line = L"line\r\n";
    for (int k = 0; k < 600; ++k) b->AwaitWritten(b->QueueThrough(line.data(), line.size() * 2));
    ASSERT_TRUE(WaitFor([&] { return b->GetUnwrittenRuns() == 0; }, 10000));
    EXPECT_EQ(b->GetQueuedBytes(), 0u);
}

// A writer that cannot keep up (each append takes 300 ms): a line written
// through waits a bounded time once, and not at all while the writer is
// behind; the teardown drains for about a second, drops the rest and says
// how many lines it dropped. The folder is missing: the second attempt makes it.
// The appends fail until the queue's cap has refused a line and the writer
// has taken another (its notice of the refusal fails too): every count still
// reaches the file.
TEST_F(LoggerBufferTest, ASlowDiskStallsNoCallerAndTeardownDropsWhatItCannotWriteInASecond) {
    base_ = dir_.path + L"deeper\\still\\zksndapi";
    auto b = Make(1 << 24, 10, 1);
    std::atomic<bool> failing{true};
    b->SetFileWrite([](void* c, HANDLE file, const void* data, DWORD size, DWORD* written) -> BOOL {
        Sleep(300);
        if (!static_cast<std::atomic<bool>*>(c)->load()) return WriteFile(file, data, size, written, nullptr);
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }, &failing);
    // One line a batch, until the queue's cap refuses one: lines past it are counted, not queued.
    int offered = 0;
    bool refused = false;
    while (!refused && offered < 400) {
        const std::wstring line = L"line " + std::to_wstring(offered++) + L" " + std::wstring(CZkLoggerBuffer::kBatchBytes / 2, L'x') + L"\r\n";
        refused = b->Push(line.data(), line.size() * 2) == 0;
    }
    EXPECT_TRUE(refused) << "400 lines of 64 KiB queued behind a slow writer";
    // the line the writer was on, then one it took after the refusal (its notice first)
    const uint64_t queued = b->GetUnwrittenRuns();
    EXPECT_TRUE(WaitFor([&] { return b->GetUnwrittenRuns() + 2 <= queued; }, 10000)) << "the writer took no line after the refusal";
    failing = false;
    for (const wchar_t* through : {L"through 1\r\n", L"through 2\r\n"}) {
        const DWORD start = GetTickCount();
        b->AwaitWritten(b->QueueThrough(through, wcslen(through) * 2));
        EXPECT_LT(GetTickCount() - start, 500u) << through;
    }
    const DWORD start = GetTickCount();
    b.reset();
    EXPECT_LT(GetTickCount() - start, 3000u);
    const std::wstring text = ReadText(Current());
    int written = 0, first = -1;  // the lines after the failed appends, in order
    size_t at = text.find(L"\nline ");
    while (at != std::wstring::npos) {
        if (first < 0) first = std::stoi(text.substr(at + 6, 8));
        const std::wstring expected = L"line " + std::to_wstring(first + written) + L" ";
        EXPECT_EQ(text.substr(at + 1, expected.size()), expected);
        ++written;
        at = text.find(L"\nline ", at + 1);
    }
    std::wsmatch drained, capped;
    ASSERT_TRUE(std::regex_search(text, drained, std::wregex(LR"(DrainAndStop: \(\d+\): (\d+) lines were dropped: .*\r\n$)"))) << written;
    ASSERT_TRUE(std::regex_search(text, capped, std::wregex(LR"(Queue: \(\d+\): (\d+) lines were dropped: )"))) << written;
    for (const wchar_t* through : {L"through 1\r\n", L"through 2\r\n"}) written += text.find(through) != std::wstring::npos;
    EXPECT_GE(written, 1);
    // Every line offered is written or dropped (by a failed append, at the cap, at the stop), and each drop is counted.
    const std::wregex count(LR"(\): (\d+) lines were dropped: )");
    int dropped = 0;
    for (std::wsregex_iterator it(text.begin(), text.end(), count), end; it != end; ++it) dropped += std::stoi((*it)[1].str());
    const size_t failedNotice = text.find(L"could not be opened or written");
    EXPECT_EQ(failedNotice, text.rfind(L"could not be opened or written")) << "a notice for each failed append";
    EXPECT_EQ(written + dropped, offered + 2);
}

// The notice of lines dropped at the queue's cap is written at a batch's
// start, not before every line: while the disk fails, each try is two failed
// appends and a reopen, and the lines behind it would go one append each. And
// once the disk works again the notice goes in with the next batch, not at the
// stop (a process that ends without it would leave the drops untold). A stop
// while the disk still fails tries it no more once its second is over.
TEST_F(LoggerBufferTest, ACapNoticeIsTriedOnceABatchAndWrittenOnceTheDiskWorks) {
    for (const bool recovers : {true, false}) {
        SCOPED_TRACE(recovers ? "the disk works again" : "the disk fails through the stop");
        struct FailingDisk { CHandleHolder go{lumlib::NewEvent()}; std::atomic<bool> failing{true}, slow{false}; std::atomic<int> failed{0}; } disk;  // outlives the writer
        auto b = Make(1 << 24, 10, 1);
        b->SetFileWrite([](void* c, HANDLE file, const void* data, DWORD size, DWORD* written) -> BOOL {
            FailingDisk* d = static_cast<FailingDisk*>(c);
            WaitForSingleObject(d->go.get(), 60000);  // the first write holds the writer while the queue fills
            if (!d->failing) return WriteFile(file, data, size, written, nullptr);
            if (d->slow) Sleep(20);
            ++d->failed;
            *written = 0;
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }, &disk);
        const std::wstring line = std::wstring(2047, L'x') + L"\r\n";  // 15 lines a batch
        uint64_t queued = 0;
        while (queued < 10000 && b->Push(line.data(), line.size() * 2) != 0) ++queued;
        ASSERT_GE(queued, 1000u) << "refused before the cap";
        ASSERT_LT(queued, 10000u) << "no line refused at the cap";
        SetEvent(disk.go.get());
        ASSERT_TRUE(WaitFor([&] { return b->GetUnwrittenRuns() <= queued / 2; }, 60000));
        EXPECT_LT(uint64_t(disk.failed.load()) * 2, queued / 2) << "about eight failed writes a line: a notice and a batch each";
        if (!recovers) {
            // A notice tried before each line left after the second would take 40 ms a line.
            disk.slow = true;
            const DWORD start = GetTickCount();
            b.reset();
            EXPECT_LT(GetTickCount() - start, 4000u) << "the stop went on trying the notice";
            continue;
        }
        disk.failing = false;
        ASSERT_TRUE(WaitFor([&] { return b->GetUnwrittenRuns() == 0; }, 60000));
        EXPECT_NE(ReadText(Current()).find(L"lines were dropped: more than"), std::wstring::npos) << "the notice waited for the stop";
    }
}

// Everyone may read, write, append and delete (every session shares the log),
// nobody but SYSTEM and Administrators may change permissions or owner, and
// the owner's implicit right to do so is taken away; the owner of a folder
// above the log folder may also make folders in it. Checked on the
// descriptors the writer applies: Wine 8 does not keep a descriptor given to
// CreateFileW or CreateDirectoryW, so none can be read back from the files.
TEST_F(LoggerBufferTest, FilesAndFoldersLetEveryoneWriteButNobodyChangeTheirPermissions) {
    using zk_testkit::WellKnown;
    const DWORD kChangeRights = WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
    lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> folder, upper;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(CLogFolderGuard::kLogFolderSddl, SDDL_REVISION_1,
                                                                     folder.put(), nullptr));
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(CLogFolderGuard::kUpperFolderSddl, SDDL_REVISION_1,
                                                                     upper.put(), nullptr));
    auto b = Make(1 << 20, 10);
    const DWORD kFolderNeeds = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | READ_CONTROL;
    const struct { PSECURITY_DESCRIPTOR sd; DWORD everyoneNeeds; DWORD nobodyElse; const wchar_t* what; } rows[] = {
        {b->GetSecurityAttributes()->lpSecurityDescriptor, FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE, kChangeRights, L"file"},
        {folder.get(), kFolderNeeds, kChangeRights | FILE_DELETE_CHILD, L"folder"},
        {upper.get(), kFolderNeeds, kChangeRights | FILE_DELETE_CHILD, L"folder above it"},
    };
    const auto untrusted = [](PSID sid) {  // anyone but SYSTEM and Administrators
        return !IsWellKnownSid(sid, WinLocalSystemSid) && !IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
    };
    for (const auto& row : rows) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(row.sd, &control, &revision));
        EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from a folder someone else made";
        const PACL dacl = zk_testkit::DaclOf(row.sd);
        EXPECT_EQ(zk_testkit::GrantedRights(dacl, untrusted, true) & row.nobodyElse, 0u)
            << row.what << ": a right to change permissions";
        const DWORD everyone = zk_testkit::GrantedRights(dacl, WellKnown(WinWorldSid));
        EXPECT_EQ(everyone & row.everyoneNeeds, row.everyoneNeeds) << row.what;
        EXPECT_NE(zk_testkit::GrantedRights(dacl, WellKnown(WinCreatorOwnerRightsSid), true), 0u) << row.what << ": no owner rights ACE";
    }
    // Whoever makes the path makes its next level: with the log folder's rules it could not.
    EXPECT_NE(zk_testkit::GrantedRights(zk_testkit::DaclOf(upper.get()), WellKnown(WinCreatorOwnerRightsSid), true) &
                  FILE_ADD_SUBDIRECTORY, 0u) << "the owner of a folder above the log folder cannot make the next one";
}

// What a hostile user can leave in the shared folder, against an ordinary and
// a privileged caller. Folder attributes and owners are substituted: Wine has
// no junctions and keeps no owners (and runs every process elevated). Links
// are real: Wine makes hard links. Where the plant goes again (a junction, an
// owner query that failed: a hold of 5 s, of 0.25 s; a file just made that
// could not be looked at: 0.25 s, and its header still comes first; a file
// whose open is denied for the whole 3 s wait, held 5 s after it), every run
// meanwhile is dropped and counted, and the first run written once the hold is
// over says how many.
enum Plant { kNothing, kParentSymlink, kFolderSymlink, kForeignOwner, kHardLink, kJunction, kUnreadableOwner, kUnreadableFile, kOpenDenied };
struct Hostile { const char* name; Plant plant; bool privileged; bool written; ULONGLONG heldMinMs = 0, heldMaxMs = 0; };
struct HostileFolderTest : LoggerBufferTest, ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileFolderTest, WhatAHostileUserCanPlantIsRefusedAndAHoldCountsWhatItDropped) {
    struct Context { Plant plant; std::wstring folder; } context = {GetParam().plant, dir_.path.substr(0, dir_.path.size() - 1)};
    const std::wstring other = dir_.path + L"other.txt";
    Put(other, L"secret");
    if (context.plant == kHardLink) {
        ASSERT_TRUE(CreateHardLinkW(Current().c_str(), other.c_str(), nullptr));
    }
    auto b = Make(1 << 20, 10);
    b->SetReparseQuery([](void* c, const wchar_t* folder, DWORD* tag) -> DWORD {
        const Context* ctx = static_cast<Context*>(c);
        const bool own = ctx->folder == folder;  // else the parent folder
        *tag = ctx->plant == kJunction ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_SYMLINK;
        const bool link = ctx->plant == (own ? kFolderSymlink : kParentSymlink) || (own && ctx->plant == kJunction);
        return FILE_ATTRIBUTE_DIRECTORY | (link ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
    }, &context);
    b->SetHardening(GetParam().privileged, [](void* c, const wchar_t*) {
        const Plant plant = static_cast<Context*>(c)->plant;
        if (plant == kUnreadableOwner) return CLogFolderGuard::Trust::kUnknown;
        return plant != kForeignOwner ? CLogFolderGuard::Trust::kTrusted : CLogFolderGuard::Trust::kUntrusted;
    }, &context);
    b->SetFileOpen([](void* c, const wchar_t* name, DWORD access, SECURITY_ATTRIBUTES* sa) -> HANDLE {
        if (static_cast<Context*>(c)->plant == kUnreadableFile) {  // made, but what was opened tells nothing of itself
            CloseHandle(CZkLoggerBuffer::OpenFileLive(nullptr, name, access, sa));
            SetLastError(ERROR_SUCCESS);
            return CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        if (static_cast<Context*>(c)->plant != kOpenDenied) return CZkLoggerBuffer::OpenFileLive(nullptr, name, access, sa);
        SetLastError(ERROR_SHARING_VIOLATION);  // a reader that shares no writing
        return INVALID_HANDLE_VALUE;
    }, &context);
    const ULONGLONG start = GetTickCount64();
    Write(*b, L"run");
    if (GetParam().heldMaxMs != 0) {
        context.plant = kNothing;  // not looked at again during the hold
        int dropped = 0;
        ASSERT_TRUE(WaitFor([&] { Write(*b, L"run"); return FileSize(Current()) > 0 || (++dropped, false); }, 15000));
        const ULONGLONG resumed = GetTickCount64() - start;
        EXPECT_GE(resumed, GetParam().heldMinMs) << "held (less the tick's granularity)";
        EXPECT_LE(resumed, GetParam().heldMaxMs) << "resumed once the hold is over";
        const std::wstring text = ReadText(Current());
        std::wsmatch m;
        const std::wstring why = GetParam().plant == kOpenDenied || GetParam().plant == kUnreadableFile ? L"file could not be opened or written"
                                                                 : L"folder was refused or could not be checked";
        ASSERT_TRUE(std::regex_match(text, m, std::wregex(LR"(\r\n\[SERVICE\]: Build test header\r\n.*WriteRuns: \(\d+\): (\d+) lines )"
                                                          LR"(were dropped: the log )" + why + LR"(\.\r\nrun)"))) << text;
        EXPECT_EQ(std::stoi(m[1].str()), dropped + 1);
        return;
    }
    b.reset();
    EXPECT_EQ(ReadText(other), L"secret") << "the other file is never written";
    const std::wstring current = ReadText(Current());
    if (GetParam().written) {
        EXPECT_EQ(current, kHeader + L"run") << "written";
    } else {
        // refused: no log file, or the planted link left as it was
        const std::wstring expected = GetParam().plant == kHardLink ? L"secret" : L"<missing>";
        EXPECT_EQ(current, expected) << "refused, yet written";
    }
}

// A symbolic link as the current file is opened as the link and refused like the hard link; Wine 8's
// CreateSymbolicLinkW reports success but makes nothing, so only Windows could show it.
INSTANTIATE_TEST_SUITE_P(
    Plants, HostileFolderTest,
    ::testing::Values(Hostile{"CleanFolder", kNothing, true, true},
                      Hostile{"ParentSymlink", kParentSymlink, true, false},
                      // ordinary callers check the mount point of the log folder only
                      Hostile{"ParentSymlinkOrdinaryCaller", kParentSymlink, false, true},
                      Hostile{"FolderSymlink", kFolderSymlink, true, false},
                      Hostile{"ForeignOwner", kForeignOwner, true, false},
                      Hostile{"ForeignOwnerOrdinaryCaller", kForeignOwner, false, true},  // the owner is not asked
                      Hostile{"HardLinkedFile", kHardLink, false, false},
                      Hostile{"JunctionHeld", kJunction, false, false, 4900, 8000},
                      Hostile{"UnreadableOwnerHeld", kUnreadableOwner, true, false, 200, 1500},
                      Hostile{"UnreadableFileHeld", kUnreadableFile, false, false, 200, 1500},
                      // the lines that come during the hold renew nothing: the open is tried once it is over
                      Hostile{"OpenDeniedHeld", kOpenDenied, false, false, 7900, 12000}),
    ModeName<Hostile>);

}  // namespace

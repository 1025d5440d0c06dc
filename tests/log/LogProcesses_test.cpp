// One log shared by several processes: whole lines from concurrent writers
// that rotate the files between them. Each child is this test program started
// again: the disabled LogChild.DISABLED_Role test plays the role
// ("folder|writer id|parent id") given in its environment.
#include "LoggerTestUtil.h"

#include <map>
#include <memory>
#include <sstream>

#include "log/ZkLoggerBuffer.h"
#include "tests/support/ChildProcess.h"

namespace {

const wchar_t kChildRoleVariable[] = L"ZKLOG_CHILD_ROLE";
const DWORD kChildWatchdogMs = 120000;  // a child that hangs fails the test, it never blocks CI
const uint32_t kWriters = 5;
const uint32_t kWriterLines = 40000;  // of 0.24 KB on average: about 47 MiB in all
const uint32_t kLimit = 1024 * 1024;   // bytes: several rotations
const uint32_t kManyFiles = 99;        // no numbered file is deleted
const DWORD kStartLineMs = 60000;

// Names of the parent's start-line objects, unique per parent process.
std::wstring StartLineName(const wchar_t* what, DWORD parent) {
    return L"Local\\zklog-" + std::wstring(what) + L"-" + std::to_wstring(parent);
}

// Starts this program as a child with the role in its environment (inherited by the child only). A child
// still running when its test ends is ended then, so nothing outlives the test.
bool StartChild(zk_testkit::CChildProcess& child, const std::wstring& role) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(kChildRoleVariable, (role + L"|" + std::to_wstring(GetCurrentProcessId())).c_str());
    const bool started = child.Start(L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests --gtest_filter=LogChild.*");
    SetEnvironmentVariableW(kChildRoleVariable, nullptr);
    return started;
}

// The child's side of the test below (a logger as the library runs it, 1 MiB
// files, at the start line); it does nothing in an ordinary run.
TEST(LogChild, DISABLED_Role) {
    wchar_t text[2048] = {};
    ASSERT_TRUE(GetEnvironmentVariableW(kChildRoleVariable, text, 2048)) << "started by the test below only";
    std::vector<std::wstring> role;
    std::wistringstream in(text);
    std::wstring part;
    while (std::getline(in, part, L'|')) role.push_back(part);
    ASSERT_EQ(role.size(), 3u);
    const DWORD parent = std::stoul(role[2]);
    std::unique_ptr<CZkLogger> logger(StartLogger(role[0], 1, false));
    logger->SetThreshold(LOG_INFO);
    logger->GetFileBuffer(0)->SetMaxFileSize(kLimit);
    logger->GetFileBuffer(0)->SetRotationFileNumber(kManyFiles);
    // at the start line: tells the parent it is ready, then waits for the go
    CHandleHolder ready(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, StartLineName(L"ready", parent).c_str()));
    CHandleHolder go(OpenEventW(SYNCHRONIZE, FALSE, StartLineName(L"go", parent).c_str()));
    ASSERT_TRUE(ready.is_valid() && go.is_valid() && ReleaseSemaphore(ready.get(), 1, nullptr));
    ASSERT_EQ(WaitForSingleObject(go.get(), kStartLineMs), WAIT_OBJECT_0);
    for (uint32_t k = 0; k < kWriterLines; ++k)
        LogPrint(logger.get(), LOG_INFO, L"child %s line %u %s end", role[1].c_str(), k, std::wstring(k % 50 * 2, L'x').c_str());
    // all on disk before the teardown, which would drop what it cannot write within its second
    ASSERT_TRUE(WaitFor([&] { return logger->GetFileBuffer(0)->GetUnwrittenRuns() == 0; }, kStartLineMs));
}

// Five processes log a burst at once into 1 MiB files and rotate them between
// them: contention among writers that all make progress drops nothing, so
// every line arrives once and whole (no line reports a drop), and no file
// passes its limit by more than one append (a batch, with a header and a notice).
TEST(LogProcesses, FiveProcessesRotateTogetherAndLoseNoLine) {
    TempDir dir;
    const DWORD self = GetCurrentProcessId();
    CHandleHolder ready(CreateSemaphoreW(nullptr, 0, kWriters, StartLineName(L"ready", self).c_str()));
    CHandleHolder go(CreateEventW(nullptr, TRUE, FALSE, StartLineName(L"go", self).c_str()));
    zk_testkit::CChildProcess children[kWriters];
    for (uint32_t id = 1; id <= kWriters; ++id) ASSERT_TRUE(StartChild(children[id - 1], dir.path + L"|" + std::to_wstring(id)));
    for (uint32_t id = 1; id <= kWriters; ++id) ASSERT_EQ(WaitForSingleObject(ready.get(), kStartLineMs), WAIT_OBJECT_0);
    SetEvent(go.get());
    const DWORD start = GetTickCount();
    for (zk_testkit::CChildProcess& child : children) {  // every child ends within the one watchdog, with exit code 0
        const DWORD waited = GetTickCount() - start;
        EXPECT_EQ(child.Wait(waited < kChildWatchdogMs ? kChildWatchdogMs - waited : 0), 0) << child.Output();
    }
    ASSERT_FALSE(HasFailure()) << "a child failed";

    // every line is a header line or one whole child line, and each child line is there once
    const std::wregex childLine(LR"(\d{4}\.\d\d\.\d\d [\d:.]{12} \([+-]\d\d:\d\d\) \[\d+\] \[\d+\] \[INFO\]: +)"
                                LR"(child (\d) line (\d+) (x*) end)");
    std::map<std::wstring, int> seen;
    std::vector<std::wstring> files;  // every file of the log: the current one and the numbered ones
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        if (entry.path().filename().wstring().rfind(L"zksndapi", 0) == 0) files.push_back(entry.path().wstring());
    for (const std::wstring& file : files) {
        EXPECT_LE(FileSize(file), kLimit + CZkLoggerBuffer::kBatchBytes + 4096) << file.c_str();
        for (const std::wstring& line : zk_testkit::SplitLines(ReadText(file))) {
            std::wsmatch m;
            if (line.empty() || line.find(L"[SERVICE]: ") != std::wstring::npos) continue;  // the header's two lines
            ASSERT_TRUE(std::regex_match(line, m, childLine)) << "broken line in " << file.c_str() << ": " << line;
            EXPECT_EQ(m[3].length(), std::stoul(m[2].str()) % 50 * 2) << line;
            ++seen[m[1].str() + L":" + m[2].str()];
        }
    }
    EXPECT_GT(files.size(), 40u) << "rotated at every MiB (of about 47)";
    EXPECT_EQ(seen.size(), kWriters * kWriterLines);
    for (const auto& entry : seen) EXPECT_EQ(entry.second, 1) << entry.first;
}

}  // namespace

// Programs a test starts, with their output in a file, and the temporary
// files they use: nothing outlives the test that made it.
#pragma once

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/Holders.h"
#include "tests/support/TestPipeServer.h"
#include "tools/common/ConsoleOut.h"

namespace zk_testkit {

// A fresh name in the temporary folder; the file goes at the end of the scope.
struct CTempFile {
    explicit CTempFile(const wchar_t* tag)
        : path(std::filesystem::temp_directory_path().wstring() + UniquePipeName(tag) + L".tmp") {}
    ~CTempFile() { ::DeleteFileW(path.c_str()); }
    std::wstring Quoted() const { return L"\"" + path + L"\""; }
    const std::wstring path;
};

// A file's bytes; empty when it cannot be read.
inline std::string ReadFileText(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    DWORD error = 0;
    return zktools::ReadWholeFile(path, &bytes, &error) ? std::string(bytes.begin(), bytes.end()) : std::string();
}

// A program started with its standard output and error in one file (a program without a folder is looked
// for first in the test program's folder).
class CChildProcess {
public:
    // Still running (a test failed halfway): ended before its output file goes.
    ~CChildProcess() {
        if (!m_process.is_valid() || Wait(0) != -1) return;
        if (::TerminateProcess(m_process.get(), 99)) Wait(10000);
    }
    // input: a file for its standard input (none: no input).
    bool Start(std::wstring commandLine, const std::wstring& input = L"") {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        CHandleHolder out(::CreateFileW(m_out.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        CHandleHolder in(input.empty() ? nullptr
                                       : ::CreateFileW(input.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING,
                                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in.get();
        si.hStdOutput = out.get();
        si.hStdError = out.get();
        PROCESS_INFORMATION pi = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return false;
        const CHandleHolder thread(pi.hThread);
        m_process.reset(pi.hProcess);
        return true;
    }
    // Exit code, or -1 when it has not ended within timeoutMs.
    int Wait(DWORD timeoutMs) {
        if (::WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        return ::GetExitCodeProcess(m_process.get(), &code) ? static_cast<int>(code) : -1;
    }
    std::string Output() const { return ReadFileText(m_out.path); }

protected:
    CHandleHolder m_process;
    const CTempFile m_out{L"out"};
};

}  // namespace zk_testkit

// Helpers of the tools tests: tessaline-emu and zksndctl as child processes with
// their output in a file, and a raw client of the emulator's pipe.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/lumlib.h"
#include "tests/support/TestPipeServer.h"
#include "tools/common/ConsoleOut.h"
#include "tools/tessaline-emu/FrameReader.h"
#include "virt/api/SndProtocol.h"

namespace tools_test {

using zk_testkit::UniquePipeName;
const size_t npos = std::string::npos;

inline std::wstring TempFile(const wchar_t* tag) {  // a fresh name in the temporary folder
    wchar_t folder[MAX_PATH + 1] = {0};
    return std::wstring(folder, ::GetTempPathW(MAX_PATH + 1, folder)) + UniquePipeName(tag) + L".tmp";
}

inline std::string ReadFileText(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    DWORD error = 0;
    return zktools::ReadWholeFile(path, &bytes, &error) ? std::string(bytes.begin(), bytes.end()) : std::string();
}

inline bool WriteFileText(const std::wstring& path, const std::string& text) {
    DWORD error = 0;
    return zktools::WriteWholeFile(path, text.data(), text.size(), &error);
}

// A program of the test program's folder (where CreateProcess looks first) with stdout and stderr in one file; still
// running at destruction (a test failed halfway), it is ended.
class CChild {
public:
    ~CChild() {
        if (m_process.IsValid() && Wait(0) == -1) {
            ::TerminateProcess(m_process, 99);
            Wait(10000);
        }
        ::DeleteFileW(m_outPath.c_str());
    }
    bool Start(const std::wstring& program, const std::wstring& arguments) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        CHandleHolder out(::CreateFileW(m_outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = out;
        PROCESS_INFORMATION pi = {};
        std::wstring line = program + L" " + arguments;
        if (!out.IsValid() ||
            !::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
            return false;
        ::CloseHandle(pi.hThread);
        m_process.Reset(pi.hProcess);
        return true;
    }
    // Exit code, or -1 when it has not ended within timeoutMs.
    int Wait(DWORD timeoutMs) {
        DWORD code = 0;
        const bool ended = ::WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0;
        return ended && ::GetExitCodeProcess(m_process, &code) ? static_cast<int>(code) : -1;
    }
    std::string Output() const { return ReadFileText(m_outPath); }
    HANDLE Handle() const { return m_process; }

private:
    CHandleHolder m_process;
    const std::wstring m_outPath = TempFile(L"out");
};

// Runs a program to its end: its exit code (-1: still running after a minute), its output in *output.
inline int RunTool(const std::wstring& program, const std::wstring& arguments, std::string* output) {
    CChild child;
    const int code = child.Start(program, arguments) ? child.Wait(60000) : -2;
    *output = child.Output();
    return code;
}

// tessaline-emu on a pipe of its own or the service's, told to stop through its control events.
class CEmulator {
public:
    explicit CEmulator(bool servicePipe = false)
        : pipe(servicePipe ? zk_testkit::kServicePipeName : UniquePipeName(L"emu")), path(L"\\\\.\\pipe\\" + pipe) {}
    ~CEmulator() { Stop(); }
    // Returns once the pipe is served (the emulator sets NAME.ready).
    bool Start(const std::wstring& options = L"") {
        CHandleHolder ready(::CreateEventW(nullptr, TRUE, FALSE, (m_control + L".ready").c_str()));
        if (!ready.IsValid() ||
            !m_child.Start(L"tessaline-emu.exe", L"--pipe " + pipe + L" --control " + m_control + L" " + options))
            return false;
        HANDLE waits[2] = {ready, m_child.Handle()};
        return ::WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
    bool Signal(const wchar_t* action) {
        CHandleHolder event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (m_control + L"." + action).c_str()));
        return event.IsValid() && ::SetEvent(event);
    }
    // Stops it cleanly: its exit code, or -1 when it did not end.
    int Stop() {
        Signal(L"stop");
        return m_child.Wait(30000);
    }
    std::string Output() const { return m_child.Output(); }

    const std::wstring pipe, path;

private:
    const std::wstring m_control = UniquePipeName(L"ctl");
    CChild m_child;
};

// The client end of the emulator's pipe: whole messages, with time-outs.
class CRawClient {
public:
    enum Result { kMessage, kTimeout, kClosed };

    bool Connect(const std::wstring& path) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            m_pipe.Reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr));
            if (m_pipe.IsValid() || ::GetLastError() != ERROR_PIPE_BUSY) break;
            ::WaitNamedPipeW(path.c_str(), 2000);  // every instance taken: wait for the next one
        }
        return m_pipe.IsValid();
    }
    // A message with its length in front; with framed false the bytes as they are.
    bool Send(const std::vector<uint8_t>& message, bool framed = true) {
        std::vector<uint8_t> bytes = framed ? tessaline_emu::MakeFrame(message) : message;
        DWORD written = 0;
        return Transfer(true, bytes.data(), static_cast<DWORD>(bytes.size()), INFINITE, &written) == 0 &&
               written == bytes.size();
    }
    // The next whole message within timeoutMs.
    Result Receive(std::vector<uint8_t>* message, DWORD timeoutMs = 5000) {
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        while (m_reader.Next(message, nullptr) != tessaline_emu::CFrameReader::kFrame) {
            const ULONGLONG now = ::GetTickCount64();
            DWORD got = 0;
            m_lastError = Transfer(false, m_buffer, sizeof(m_buffer), now >= deadline ? 0 : DWORD(deadline - now), &got);
            if (m_lastError != 0) return m_lastError == ERROR_OPERATION_ABORTED ? kTimeout : kClosed;
            m_reader.Append(m_buffer, got);
        }
        return kMessage;
    }
    // The next message as "event E" or "reply ID (COMMAND): status S"; a settings record it carries in *record.
    std::string Next(std::string* record = nullptr) {
        std::vector<uint8_t> m;
        SndDecodedMsg d = {};
        if (Receive(&m) != kMessage) return "nothing";
        if (record != nullptr) *record = std::string(m.begin() + std::min<size_t>(m.size(), kSndOffPayload), m.end());
        const SndMsgKind kind = SndDecodeMessage(m.data(), m.size(), d);
        if (kind == SndMsgKind::Notification) return "event " + std::to_string(d.event);
        if (kind != SndMsgKind::Reply) return "invalid";
        return "reply " + std::to_string(d.requestId) + " (" + std::to_string(d.command) + "): status " +
               std::to_string(d.status);
    }
    DWORD LastError() const { return m_lastError; }

private:
    // One overlapped read or write, cancelled after timeoutMs (what it moved until then still counts): 0 or the error.
    DWORD Transfer(bool write, uint8_t* data, DWORD size, DWORD timeoutMs, DWORD* done) {
        OVERLAPPED ov = {};
        ov.hEvent = m_event;
        if (!(write ? ::WriteFile(m_pipe, data, size, nullptr, &ov) : ::ReadFile(m_pipe, data, size, nullptr, &ov)) &&
            ::GetLastError() != ERROR_IO_PENDING)
            return ::GetLastError();
        if (::WaitForSingleObject(m_event, timeoutMs) != WAIT_OBJECT_0) ::CancelIo(m_pipe);
        return ::GetOverlappedResult(m_pipe, &ov, done, TRUE) ? 0 : ::GetLastError();
    }

    CHandleHolder m_pipe;
    CHandleHolder m_event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    uint8_t m_buffer[65536];
    tessaline_emu::CFrameReader m_reader{1 << 20};
    DWORD m_lastError = 0;
};

}  // namespace tools_test

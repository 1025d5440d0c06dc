// Helpers of the tools tests: tessaline-emu and zksndctl as child processes with
// their output in a file, and a raw client of the emulator's pipe.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/lumlib.h"
#include "tests/support/TestPipeServer.h"
#include "tools/common/ConsoleOut.h"
#include "tools/tessaline-emu/FrameReader.h"
#include "virt/api/SndProtocol.h"

namespace tools_test {

using zk_testkit::UniquePipeName;
const size_t npos = std::string::npos;

// A fresh name in the temporary folder; the file goes at the end of the scope.
struct CTempFile {
    explicit CTempFile(const wchar_t* tag) {
        wchar_t folder[MAX_PATH + 1] = {0};
        path = std::wstring(folder, ::GetTempPathW(MAX_PATH + 1, folder)) + UniquePipeName(tag) + L".tmp";
    }
    ~CTempFile() { ::DeleteFileW(path.c_str()); }
    std::wstring Quoted() const { return L"\"" + path + L"\""; }
    std::wstring path;
};

inline std::string ReadFileText(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    DWORD error = 0;
    return zktools::ReadWholeFile(path, &bytes, &error) ? std::string(bytes.begin(), bytes.end()) : std::string();
}

inline bool WriteFileText(const std::wstring& path, const std::string& text) {
    DWORD error = 0;
    return zktools::WriteWholeFile(path, text.data(), text.size(), &error);
}

// A program of the test program's folder (where CreateProcess looks first) with stdout and stderr in one file.
class CChild {
public:
    ~CChild() {  // still running (a test failed halfway): ended before its output file goes
        if (m_process.IsValid() && Wait(0) == -1 && ::TerminateProcess(m_process, 99)) Wait(10000);
    }
    bool Start(const std::wstring& program, const std::wstring& arguments) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        CHandleHolder out(::CreateFileW(m_out.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
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
    std::string Output() const { return ReadFileText(m_out.path); }

protected:
    CHandleHolder m_process;
    const CTempFile m_out{L"out"};
};

// Runs a program to its end: its exit code (-1: still running after a minute), its output in *output.
inline int RunTool(const std::wstring& program, const std::wstring& arguments, std::string* output) {
    CChild child;
    const int code = child.Start(program, arguments) ? child.Wait(60000) : -2;
    *output = child.Output();
    return code;
}

// Runs the program once per row (arguments, exit code, a part of the output) and checks both.
inline void ExpectRuns(const wchar_t* program, const std::vector<std::tuple<std::wstring, int, const char*>>& rows) {
    for (const auto& [arguments, exitCode, message] : rows) {
        std::string output;
        EXPECT_EQ(exitCode, RunTool(program, arguments, &output)) << output;
        EXPECT_NE(npos, output.find(message)) << output;
    }
}

// tessaline-emu on a pipe of its own or the service's, told to stop through its control events.
class CEmulator : public CChild {
public:
    explicit CEmulator(bool servicePipe = false)
        : pipe(servicePipe ? zk_testkit::kServicePipeName : UniquePipeName(L"emu")), path(L"\\\\.\\pipe\\" + pipe) {}
    ~CEmulator() { Stop(); }
    // Returns once the pipe is served (the emulator sets NAME.ready).
    bool Start(const std::wstring& options = L"") {
        CHandleHolder ready(::CreateEventW(nullptr, TRUE, FALSE, (m_control + L".ready").c_str()));
        if (!ready.IsValid() ||
            !CChild::Start(L"tessaline-emu.exe", L"--pipe " + pipe + L" --control " + m_control + L" " + options))
            return false;
        HANDLE waits[2] = {ready, m_process};
        return ::WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
    bool Signal(const wchar_t* action) {
        CHandleHolder event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (m_control + L"." + action).c_str()));
        return event.IsValid() && ::SetEvent(event);
    }
    // Stops it cleanly: its exit code, or -1 when it did not end.
    int Stop() {
        Signal(L"stop");
        return Wait(30000);
    }

    const std::wstring pipe, path;

private:
    const std::wstring m_control = UniquePipeName(L"ctl");
};

// A request made by one of the protocol's builders, as long as the builder says.
template <class Build, class... Args>
std::vector<uint8_t> Request(Build build, Args... args) {
    std::vector<uint8_t> request(kSndMaxRequestSize);
    request.resize(build(request.data(), request.size(), args...));
    return request;
}

// The client end of the emulator's pipe: whole messages, with time-outs.
class CRawClient {
public:
    bool Connect(const std::wstring& path) {
        ::WaitNamedPipeW(path.c_str(), 10000);  // every instance may be taken for a moment
        m_pipe.Reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
        return m_pipe.IsValid();
    }
    // A message with its length in front; with framed false the bytes as they are.
    bool Send(const std::vector<uint8_t>& message, bool framed = true) {
        std::vector<uint8_t> bytes = framed ? tessaline_emu::MakeFrame(message) : message;
        DWORD written = 0;
        return Transfer(true, bytes.data(), static_cast<DWORD>(bytes.size()), INFINITE, &written) == 0 &&
               written == bytes.size();
    }
    // The next whole message within timeoutMs as "event E", "device ID DEF RENDER EXTRA [NAME]" or
    // "reply ID (COMMAND): status S", else "timeout" or "closed"; a settings record it carries in *record.
    std::string Next(std::string* record = nullptr, DWORD timeoutMs = 5000) {
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        std::vector<uint8_t> m;
        while (m_reader.Next(&m, nullptr) != tessaline_emu::CFrameReader::kFrame) {
            const ULONGLONG now = ::GetTickCount64();
            DWORD got = 0;
            m_lastError = Transfer(false, m_buffer, sizeof(m_buffer), now >= deadline ? 0 : DWORD(deadline - now), &got);
            if (m_lastError != 0) return m_lastError == ERROR_OPERATION_ABORTED ? "timeout" : "closed";
            m_reader.Append(m_buffer, got);
        }
        if (record != nullptr && m.size() >= kSndOffPayload) record->assign(m.begin() + kSndOffPayload, m.end());
        SndDecodedMsg d = {};
        const SndMsgKind kind = SndDecodeMessage(m.data(), m.size(), d);
        if (kind == SndMsgKind::Reply)
            return "reply " + std::to_string(d.requestId) + " (" + std::to_string(d.command) + "): status " +
                   std::to_string(d.status);
        if (kind != SndMsgKind::Notification) return "invalid";
        if (d.event != eZkSndRdpVDeviceInfo) return "event " + std::to_string(d.event);
        std::wstring name(d.device.devNameChars, L' ');
        for (size_t c = 0; c < name.size(); ++c) name[c] = static_cast<wchar_t>(SndDeviceNameAt(d.device, c));
        return zktools::ToUtf8(zktools::Format(L"device %u %u %u %u [%s]", d.device.field0, d.device.def,
                                               d.device.render, d.device.field3, name.c_str()));
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

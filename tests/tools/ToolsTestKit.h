// Helpers of the tools tests: start tessaline-emu / zksndctl as child
// processes with their output in a file, and a raw client of the emulator's pipe.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"
#include "tools/tessaline-emu/FrameReader.h"
#include "virt/api/SndProtocol.h"

namespace tools_test {

inline std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH * 2] = {0};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring full(path, n);
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash + 1);
}

inline std::wstring TempFolder() {
    wchar_t path[MAX_PATH + 1] = {0};
    ::GetTempPathW(MAX_PATH + 1, path);
    return path;
}

// A name no other test (or test run) uses: pipe names, control names, files.
inline std::wstring UniqueName(const wchar_t* what) {
    static volatile LONG counter = 0;
    return zktools::Format(L"zk-tools-test-%s-%lu-%ld", what, ::GetCurrentProcessId(),
                           ::InterlockedIncrement(&counter));
}

inline std::string ReadTextFile(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    DWORD error = 0;
    if (!zktools::ReadWholeFile(path, &bytes, &error)) return std::string();
    return std::string(bytes.begin(), bytes.end());
}

inline bool WriteTextFile(const std::wstring& path, const std::string& text) {
    DWORD error = 0;
    return zktools::WriteWholeFile(path, text.data(), text.size(), &error);
}

// One child process with stdout and stderr in one file.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess() {
        if (m_process.IsValid() && ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
            // A test that failed halfway: do not leave the program behind.
            ::TerminateProcess(m_process, 99);
            ::WaitForSingleObject(m_process, 10000);
        }
        if (!m_outputPath.empty()) ::DeleteFileW(m_outputPath.c_str());
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Start(const std::wstring& program, const std::wstring& arguments) {
        m_outputPath = TempFolder() + UniqueName(L"out") + L".txt";
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        CHandleHolder output(::CreateFileW(m_outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!output.IsValid()) return false;
        STARTUPINFOW si;
        ZeroMemory(&si, sizeof(si));
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nullptr;
        si.hStdOutput = output;
        si.hStdError = output;
        PROCESS_INFORMATION pi;
        ZeroMemory(&pi, sizeof(pi));
        std::wstring commandLine = L"\"" + ProgramFolder() + program + L"\" " + arguments;
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
            return false;
        ::CloseHandle(pi.hThread);
        m_process.Reset(pi.hProcess);
        return true;
    }

    HANDLE Handle() const { return m_process.Get(); }
    // Exit code, or -1 when it did not end within the time.
    int Wait(DWORD timeoutMs) {
        if (::WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(m_process, &code);
        return static_cast<int>(code);
    }
    std::string Output() const { return ReadTextFile(m_outputPath); }

private:
    CHandleHolder m_process;
    std::wstring m_outputPath;
};

// Runs a program to its end; returns its exit code (-1: still running after the time).
inline int RunProgram(const std::wstring& program, const std::wstring& arguments, std::string* output,
                      DWORD timeoutMs = 60000) {
    CChildProcess child;
    if (!child.Start(program, arguments)) return -2;
    const int code = child.Wait(timeoutMs);
    if (output != nullptr) *output = child.Output();
    return code;
}

// tessaline-emu on a pipe of its own, controlled through its named events.
class CEmulator {
public:
    // pipeName empty: a fresh unique name; L"service": the service's own name.
    explicit CEmulator(const std::wstring& pipeName = std::wstring())
        : m_pipe(pipeName.empty() ? UniqueName(L"pipe") : pipeName), m_control(UniqueName(L"ctl")) {}
    ~CEmulator() { Stop(); }

    // Starts it and waits until it serves the pipe (its NAME.ready event).
    bool Start(const std::wstring& options = std::wstring()) {
        CHandleHolder ready(::CreateEventW(nullptr, TRUE, FALSE, (m_control + L".ready").c_str()));
        std::wstring arguments = L"--control " + m_control + L" " + options;
        if (m_pipe != L"service") arguments = L"--pipe " + m_pipe + L" " + arguments;
        if (!ready.IsValid() || !m_child.Start(L"tessaline-emu.exe", arguments)) return false;
        HANDLE waits[2] = {ready, m_child.Handle()};
        m_running = ::WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
        return m_running;
    }
    bool Signal(const wchar_t* action) {
        CHandleHolder event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (m_control + L"." + action).c_str()));
        return event.IsValid() && ::SetEvent(event);
    }
    // Stops it cleanly; its exit code, or -1 when it did not end.
    int Stop() {
        if (!m_running) return m_exitCode;
        m_running = false;
        Signal(L"stop");
        m_exitCode = m_child.Wait(30000);
        return m_exitCode;
    }
    int WaitExit(DWORD timeoutMs) { return m_child.Wait(timeoutMs); }
    std::string Output() const { return m_child.Output(); }
    const std::wstring& PipeName() const { return m_pipe; }
    std::wstring PipePath() const {
        return L"\\\\.\\pipe\\" + (m_pipe == L"service" ? std::wstring(L"3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7")
                                                         : m_pipe);
    }
    HANDLE Process() const { return m_child.Handle(); }

private:
    std::wstring m_pipe;
    std::wstring m_control;
    CChildProcess m_child;
    bool m_running = false;
    int m_exitCode = -1;
};

// The client end of the pipe, speaking frames with time-outs.
class CRawClient {
public:
    CRawClient() : m_reader(1 << 20) { ::ZeroMemory(&m_ov, sizeof(m_ov)); }
    ~CRawClient() { Close(); }

    // Connects as a well-behaved client does: when every instance is taken,
    // wait for the server to offer the next one, then try again.
    bool Connect(const std::wstring& pipePath) {
        m_event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        for (int attempt = 0; attempt < 20; ++attempt) {
            m_pipe.Reset(::CreateFileW(pipePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr));
            m_lastError = m_pipe.IsValid() ? 0 : ::GetLastError();
            if (m_lastError != ERROR_PIPE_BUSY) break;
            ::WaitNamedPipeW(pipePath.c_str(), 2000);
        }
        return m_pipe.IsValid() && m_event.IsValid();
    }
    void Close() {
        if (m_pending) {
            ::CancelIo(m_pipe);
            DWORD n = 0;
            ::GetOverlappedResult(m_pipe, &m_ov, &n, TRUE);
            m_pending = false;
        }
        m_pipe.Close();
    }

    bool SendRaw(const void* data, size_t size) {
        CHandleHolder event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov;
        ::ZeroMemory(&ov, sizeof(ov));
        ov.hEvent = event;
        DWORD written = 0;
        if (!::WriteFile(m_pipe, data, static_cast<DWORD>(size), nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING)
            return false;
        return ::GetOverlappedResult(m_pipe, &ov, &written, TRUE) && written == size;
    }
    bool Send(const void* message, size_t size) {
        const std::vector<uint8_t> frame = tessaline_emu::MakeFrame(
            std::vector<uint8_t>(static_cast<const uint8_t*>(message), static_cast<const uint8_t*>(message) + size));
        return SendRaw(frame.data(), frame.size());
    }

    enum Result { kMessage, kTimeout, kClosed };
    // Next whole message within timeoutMs.
    Result Receive(std::vector<uint8_t>* message, DWORD timeoutMs = 5000) {
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        for (;;) {
            uint32_t announced = 0;
            if (m_reader.Next(message, &announced) == tessaline_emu::CFrameReader::kFrame) return kMessage;
            if (!m_pending) {
                ::ZeroMemory(&m_ov, sizeof(m_ov));
                m_ov.hEvent = m_event;
                if (!::ReadFile(m_pipe, m_buffer, sizeof(m_buffer), nullptr, &m_ov) &&
                    ::GetLastError() != ERROR_IO_PENDING) {
                    m_lastError = ::GetLastError();
                    return kClosed;
                }
                m_pending = true;
            }
            const ULONGLONG now = ::GetTickCount64();
            const DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            if (::WaitForSingleObject(m_event, wait) != WAIT_OBJECT_0) return kTimeout;  // the read stays pending
            DWORD got = 0;
            m_pending = false;
            if (!::GetOverlappedResult(m_pipe, &m_ov, &got, FALSE)) {
                m_lastError = ::GetLastError();
                return kClosed;
            }
            m_reader.Append(m_buffer, got);
        }
    }
    // Next message, decoded; fails the test when none arrives.
    std::vector<uint8_t> Expect(DWORD timeoutMs = 5000) {
        std::vector<uint8_t> message;
        const Result r = Receive(&message, timeoutMs);
        EXPECT_EQ(kMessage, r) << "no message within " << timeoutMs << " ms";
        return message;
    }
    DWORD LastError() const { return m_lastError; }

    // The connection greeting: the server information notification.
    void ExpectServerInfo() {
        const std::vector<uint8_t> m = Expect();
        SndDecodedMsg d;
        ASSERT_EQ(SndMsgKind::Notification, SndDecodeMessage(m.data(), m.size(), d));
        EXPECT_EQ(static_cast<uint32_t>(eZkSndRdpVServerInfo), d.event);
    }

private:
    CHandleHolder m_pipe;
    CHandleHolder m_event;
    OVERLAPPED m_ov;
    bool m_pending = false;
    uint8_t m_buffer[65536];
    tessaline_emu::CFrameReader m_reader;
    DWORD m_lastError = 0;
};

struct ListedDevice {
    uint32_t id, def, render, extra;
    std::wstring name;
};

// Asks for the device list and reads it to its end.
inline std::vector<ListedDevice> RequestDevices(CRawClient& client) {
    std::vector<ListedDevice> devices;
    uint8_t request[kSndStandardRequestSize];
    EXPECT_EQ(kSndStandardRequestSize, SndBuildGetDeviceList(request, sizeof(request)));
    EXPECT_TRUE(client.Send(request, sizeof(request)));
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> m;
        if (client.Receive(&m) != CRawClient::kMessage) {
            ADD_FAILURE() << "device list did not end";
            break;
        }
        SndDecodedMsg d;
        EXPECT_EQ(SndMsgKind::Notification, SndDecodeMessage(m.data(), m.size(), d));
        if (d.event == eZkSndRdpVLastDeviceInfo) break;
        EXPECT_EQ(static_cast<uint32_t>(eZkSndRdpVDeviceInfo), d.event);
        EXPECT_EQ(SndDeviceRecordState::Complete, d.device.state);
        ListedDevice dev{d.device.field0, d.device.def, d.device.render, d.device.field3, std::wstring()};
        for (size_t c = 0; c < d.device.devNameChars; ++c)
            dev.name += static_cast<wchar_t>(SndDeviceNameAt(d.device, c));
        devices.push_back(dev);
    }
    return devices;
}

}  // namespace tools_test

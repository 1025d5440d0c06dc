// The library at work for one zksndctl command: what its callback shares with the command, the wait
// for what the callback signals, and the library's start and end.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "support/Holders.h"
#include "support/lumlib.h"
#include "tools/zksndctl/CtlOptions.h"
#include "tools/zksndctl/CtlRunner.h"

namespace zksndctl {

// What a server-information payload says, read as [major, minor, reserved, reserved, UTF-16 name]: the
// layout tessaline-emu sends.
struct ServerInfo {
    bool received = false;
    uint32_t major = 0, minor = 0;
    std::wstring name;
};
// The payload's length is not passed to the callback, so nothing is read beyond the memory region the
// pointer lies in.
ServerInfo ReadServerInfo(const uint8_t* payload);

// What the callback shares with the command running on the main thread.
struct CtlContext {
    CHandleHolder connected;     // manual-reset: a connection is up
    CHandleHolder newConnection; // auto-reset: callback 8 arrived (watch)
    CHandleHolder listEnd;       // auto-reset: callback 301 arrived
    CHandleHolder lost;          // auto-reset: callback 6 arrived (status)
    std::atomic<uint32_t> connects{0};  // callbacks 8 so far
    std::atomic<uint32_t> losses{0};    // callbacks 6 so far
    bool watch = false;  // print every callback as a watch line
    bool json = false;   // watch lines as JSON Lines

    bool Create();
    // The devices that answered the last request (kept apart from the lists and the 6 that come
    // after it), and the last server information: the callback's thread writes them while the
    // command reads them.
    std::vector<DeviceRow> Devices() const;
    void AddDevice(const DeviceRow& row);
    // Forgets the devices received so far; how many there were.
    size_t ClearDevices();
    // A device-list request is about to go out: its answer is the first list that begins after it. A
    // list already arriving is no part of it, nor is its end (ListEnded).
    void BeginListRequest();
    // Callback 301: true when it ends the answer to a request (or no request waits), false for the end
    // of a list that began before the request.
    bool ListEnded();
    // Callback 6: a list being received ends there, cut; its records go (the next list counts its own).
    // A request still waiting is answered by the cut (true): records and ends the library still
    // delivers from that connection are no part of it, until the next connection (ConnectionMade).
    bool ListCut();
    void ConnectionMade();
    // The last request was answered by a cut, not a list (also once the next connection has come).
    bool WasCut() const;
    // Its list had more devices than any machine has (kMaxListDevices): the rest were not kept.
    bool Overlong() const;
    ServerInfo Server() const;
    void SetServer(const ServerInfo& info);

private:
    lumlib::unique_critical_section m_lock;
    std::vector<DeviceRow> m_devices;  // under m_lock
    bool m_asked = false;              // under m_lock: a request waits for its list
    bool m_answering = false;          // under m_lock: its list has begun
    bool m_listOpen = false;           // under m_lock: a record came since the last 301
    bool m_cut = false;                // under m_lock: a 6 answered the request; until the next 8
    size_t m_notKept = 0;              // under m_lock: records of the list beyond kMaxListDevices
    std::vector<DeviceRow> m_answer;   // under m_lock: the list that answered the last request
    bool m_answerCut = false;          // under m_lock: a 6 answered it instead
    bool m_answerOverlong = false;     // under m_lock: its list was longer than kMaxListDevices
    ServerInfo m_server;               // under m_lock
};

void __cdecl OnNotify(uint32_t code, uintptr_t param, void* context);

// One watch line: text, or one JSON object with the time, the callback code (null: zksndctl's own
// event), the event's stable name, its text, and `fields` (a CJsonObject's members).
void PrintWatchLine(const CtlContext& ctx, uint32_t code, const wchar_t* event, const std::wstring& text,
                    const CJsonObject& fields = CJsonObject());

// Waits for `event` or Ctrl+C: kExitOk signalled, kExitInterrupted, or kExitTimeout. With `progress` and
// stderr on a console, a line there tells what is awaited and for how long, and goes when the wait ends.
int WaitOrStop(HANDLE event, HANDLE stopEvent, DWORD timeoutMs, const wchar_t* progress = nullptr);

// The library, initialised for one command and shut down when it ends.
class CLibrarySession {
public:
    CLibrarySession(const ZkSndApi& api, CtlContext& ctx) : m_api(api), m_ctx(ctx) {}
    ~CLibrarySession();
    CLibrarySession(const CLibrarySession&) = delete;
    CLibrarySession& operator=(const CLibrarySession&) = delete;
    // ZkSndVApiInit with OnNotify: the library's status.
    uint32_t Init();

private:
    const ZkSndApi& m_api;
    CtlContext& m_ctx;
    bool m_initialised = false;
};

// Asks for the device list and waits for its end: kExitOk with the devices, or the status's exit code
// (*status says which), kExitTimeout or kExitInterrupted.
int RequestDeviceList(const ZkSndApi& api, CtlContext& ctx, DWORD timeoutMs, HANDLE stopEvent, const wchar_t* progress,
                      std::vector<DeviceRow>* devices, uint32_t* status);

}  // namespace zksndctl

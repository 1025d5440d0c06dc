// A real named-pipe server for tests: overlapped, byte mode, several
// instances served on threads of its own. It records every frame it reads
// (4-byte little-endian length, then the payload), writes well-formed and
// malformed frames on request, ends a client's connection on request, and can
// answer each frame through a responder callback.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/lumlib.h"

namespace zk_testkit {

// The service's well-known pipe name (without the "\\.\pipe\" prefix).
extern const wchar_t kServicePipeName[];

// A pipe name that no other test (or test process) uses at the same time.
std::wstring UniquePipeName(const wchar_t* tag);

class CTestPipeServer {
public:
    struct Options {
        std::wstring name = kServicePipeName;   // without the "\\.\pipe\" prefix
        DWORD instances = 4;                    // listening instances = most clients at once
        DWORD defaultTimeoutMs = 2000;          // what WaitNamedPipeW(NMPWAIT_USE_DEFAULT_WAIT) waits
        DWORD bufferSize = 65536;               // in and out buffer of every instance
        uint32_t maxFrame = 16u * 1024 * 1024;  // a longer announced length ends the connection
        // Instances are inbound-only, so a client opening for reading and
        // writing is refused with ERROR_ACCESS_DENIED (5), like a caller the
        // service does not admit. (Wine does not enforce pipe DACLs; this works
        // on both.)
        bool refuseClients = false;
    };

    // Called once per received frame. With worker threads it runs on one of
    // them, otherwise on the thread that read the frame.
    using Responder = std::function<void(CTestPipeServer& server, size_t client,
                                         const std::vector<uint8_t>& frame)>;

    CTestPipeServer();
    explicit CTestPipeServer(const std::wstring& name);
    explicit CTestPipeServer(const Options& options);
    ~CTestPipeServer();  // Stop()
    CTestPipeServer(const CTestPipeServer&) = delete;
    CTestPipeServer& operator=(const CTestPipeServer&) = delete;

    // Creates the instances (on the calling thread, so the pipe exists when
    // Start returns) and their threads; false when that failed (the server is
    // then stopped again). Start forgets the clients and frames of a previous run.
    bool Start();
    // Ends every connection (DisconnectNamedPipe, then close), closes every
    // instance and joins every thread. Recorded frames stay readable.
    void Stop();
    bool IsRunning() const { return m_running; }
    const std::wstring& Name() const { return m_options.name; }
    std::wstring Path() const;  // "\\.\pipe\" + name

    // Clients are numbered 0, 1, ... in the order their connections were
    // accepted; with several instances that need not be the order in which
    // they opened, so open one at a time (WaitForClients) when it matters.
    bool WaitForClients(size_t count, DWORD timeoutMs);
    bool WaitForClient(DWORD timeoutMs) { return WaitForClients(1, timeoutMs); }
    size_t ClientCount();
    bool IsClientConnected(size_t client);
    // Waits until the connection has ended, from either side.
    bool WaitForClientGone(size_t client, DWORD timeoutMs);

    // Ends a client's connection from the server side and returns once it has
    // ended (true) or the client does not exist (false).
    // DisconnectNamedPipe, then the instance listens again: the client sees 233,
    // and whatever it had not read yet is discarded.
    bool DisconnectClient(size_t client);
    // CloseHandle only, a new instance takes its place: the client sees 109.
    bool CloseClient(size_t client);

    // Writes one frame (length, then payload) in one piece; false when the
    // client is gone or the write failed or took longer than 10 s. Blocks
    // until the client has read what does not fit into the pipe's buffer.
    bool WriteFrame(size_t client, const void* data, uint32_t size);
    bool WriteFrame(size_t client, const std::vector<uint8_t>& payload);
    // Writes bytes as they are, without a length.
    bool WriteRaw(size_t client, const void* data, uint32_t size);
    // Announces declaredLength, writes only size bytes, then ends the connection
    // (CloseClient, or DisconnectClient when disconnect is true).
    bool WriteCutFrame(size_t client, uint32_t declaredLength, const void* data, uint32_t size,
                       bool disconnect = false);

    // Frames read from every client, in arrival order.
    bool WaitForFrames(size_t count, DWORD timeoutMs);
    bool WaitForClientFrames(size_t client, size_t count, DWORD timeoutMs);
    size_t FrameCount();
    std::vector<uint8_t> Frame(size_t index);          // empty when out of range
    size_t FrameClient(size_t index);                  // SIZE_MAX when out of range
    std::vector<std::vector<uint8_t>> ClientFrames(size_t client);
    uint64_t BytesReceived(size_t client);             // every byte read, lengths included

    // workerThreads 0: the responder runs on the reading thread, in order.
    // Otherwise on that many threads; with shuffle each takes a random waiting
    // frame instead of the oldest, so answers come back out of order.
    // Takes effect for frames read after the call; set it before Start to
    // change the worker count.
    void SetResponder(Responder responder, unsigned workerThreads = 0, bool shuffle = false);

    static const DWORD kWriteTimeoutMs = 10000;

private:
    struct Client;
    struct Instance;
    struct Work {
        size_t client;
        std::vector<uint8_t> frame;
    };
    enum Command { kNone = 0, kDisconnect = 1, kClose = 2 };
    enum ReadResult { kReadOk, kReadFailed, kReadStop, kReadCommand };

    HANDLE CreateInstance();
    static unsigned __stdcall InstanceThread(void* arg);
    static unsigned __stdcall WorkerThread(void* arg);
    void ServeInstance(Instance* instance);
    ReadResult ReadExact(Instance* instance, HANDLE pipe, OVERLAPPED* ov, Client* client,
                         void* buffer, uint32_t count);
    Client* FindClient(size_t client);
    bool WriteBytes(size_t client, const void* data, uint32_t size);
    bool EndClient(size_t client, Command how);
    void OnFrame(size_t client, std::vector<uint8_t>& frame);
    bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs);
    void Notify();

    Options m_options;
    bool m_running;
    CRITICAL_SECTION m_lock;          // guards everything below but the handles
    CONDITION_VARIABLE m_changed;     // clients, frames, work queue, stopping
    CHandleHolder m_stopEvent;
    bool m_stopping;
    std::vector<std::unique_ptr<Instance>> m_instances;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::vector<Work> m_frames;        // recorded frames with their client
    std::vector<Work> m_work;          // frames waiting for a responder worker
    std::vector<CHandleHolder> m_workers;
    Responder m_responder;
    unsigned m_workerCount;
    bool m_shuffle;
    uint32_t m_random;
};

}  // namespace zk_testkit

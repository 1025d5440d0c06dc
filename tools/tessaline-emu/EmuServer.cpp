#include "tools/tessaline-emu/EmuServer.h"

#include <sddl.h>

#include <cstring>

#include "tools/common/ConsoleOut.h"
#include "virt/api/SndServiceMessages.h"

namespace tessaline_emu {
namespace {

// kHugeNotification: the size of each write of the name.
const size_t kHugeNotificationPiece = 65536;
// kShortFrames: what is left of every message, less than the 12 bytes a
// client reads of any message.
const uint32_t kShortFrameSize = 8;

// Server-information payload: version 1.0, then the server's name.
std::vector<uint8_t> ServerInfoPayload() {
    static const wchar_t kName[] = L"Tessaline service emulator";
    std::vector<uint8_t> payload(16 + sizeof(kName), 0);
    SndStoreU32(payload.data(), 0, 1);  // major version
    SndStoreU32(payload.data(), 4, 0);  // minor version
    for (size_t i = 0; i < sizeof(kName) / sizeof(kName[0]); ++i) {
        payload[16 + 2 * i] = static_cast<uint8_t>(kName[i] & 0xFF);
        payload[17 + 2 * i] = static_cast<uint8_t>(kName[i] >> 8);
    }
    return payload;
}

std::wstring EventName(uint32_t event) { return zktools::FromUtf8(SndEventName(event)); }

}  // namespace

// ---- CServicePipeSecurity ----------------------------------------------------

bool CServicePipeSecurity::Build() {
    // The emulator's own user keeps every right, creating further instances included.
    CHandleHolder token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<uint8_t> user(size != 0 ? size : 1);
    if (!::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return false;
    lumlib::unique_local_ptr<wchar_t*> userSid;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, userSid.put())) return false;
    // Protected DACL: SYSTEM and the user all access, everyone read and write;
    // a low-integrity no-write-up label so low-integrity callers may connect.
    const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + std::wstring(userSid.get()) + L")" +
                              zktools::Format(L"(A;;0x%lx;;;WD)", kEveryoneAccess) + L"S:(ML;;NW;;;LW)";
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, m_descriptor.put(),
                                                                 nullptr))
        return false;
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = m_descriptor.get();
    m_attributes.bInheritHandle = FALSE;
    return true;
}

// ---- CEmuSession -------------------------------------------------------------

void CEmuSession::Print(const std::wstring& text) {
    m_server->Print(zktools::Format(L"[client %u] ", m_session->Number()) + text);
}

bool CEmuSession::Delay() { return m_session->Pause(m_server->Options().delayMs); }

bool CEmuSession::SendMessage(const uint8_t* message, size_t length, const std::wstring& what, bool reply) {
    const EmuOptions& options = m_server->Options();
    if (m_streamBroken) return true;  // after a bare length field nothing can follow
    switch (options.fault) {
    case EmuFault::kShortFrames: {
        uint8_t cut[kShortFrameSize] = {};
        std::memcpy(cut, message, length < kShortFrameSize ? length : kShortFrameSize);
        SndStoreU32(cut, kSndOffSize, kShortFrameSize);
        if (!m_session->SendMessage(cut, kShortFrameSize)) return false;
        Print(L"-> " + what + zktools::Format(L" [fault: cut to %u bytes]", kShortFrameSize));
        return true;
    }
    case EmuFault::kRawLength: {
        uint8_t field[kFrameLengthSize];
        StoreFrameLength(field, kEmuRawLength);
        m_streamBroken = true;
        if (!m_session->Write(field, sizeof(field))) return false;
        Print(zktools::Format(L"-> length field %lu and nothing else [fault], instead of ", kEmuRawLength) + what);
        return true;
    }
    case EmuFault::kSlowReplies:
        if (reply && !m_session->Pause(options.faultDelayMs)) return false;
        break;
    default:
        break;
    }
    if (!m_session->SendMessage(message, length)) return false;
    Print(L"-> " + what);
    return true;
}

bool CEmuSession::SendServerInfo() {
    const std::vector<uint8_t> payload = ServerInfoPayload();
    std::vector<uint8_t> message(SndNotificationSize(payload.size()));
    const size_t n = SndBuildServerInfo(message.data(), message.size(), payload.data(), payload.size());
    return SendMessage(message.data(), n, L"eZkSndRdpVServerInfo (1)");
}

bool CEmuSession::SendUnknown() {
    const uint32_t event = m_server->Options().unknownEvent;
    uint8_t message[kSndHeaderSize];
    const size_t n = SndBuildNotification(message, sizeof(message), event, nullptr, 0);
    return SendMessage(message, n, zktools::Format(L"%s (%u), no payload", EventName(event).c_str(), event));
}

bool CEmuSession::SendDeviceList() {
    const std::vector<EmuDevice> devices = m_server->State().Devices();
    std::vector<uint8_t> message;
    for (const EmuDevice& d : devices) {
        message.assign(SndDeviceInfoSize(d.name.size()), 0);
        const size_t n = SndBuildDeviceInfo(message.data(), message.size(), d.id, d.def, d.render, d.extra,
                                            reinterpret_cast<const char16_t*>(d.name.c_str()), d.name.size());
        const std::wstring what =
            zktools::Format(L"eZkSndRdpVDeviceInfo (2): id %u, def %u, render %u, extra %u, \"%s\"", d.id, d.def,
                            d.render, d.extra, zktools::EscapeControls(d.name).c_str());
        if (!SendMessage(message.data(), n, what)) return false;
    }
    uint8_t last[kSndHeaderSize];
    const size_t n = SndBuildLastDeviceInfo(last, sizeof(last));
    return SendMessage(last, n, zktools::Format(L"eZkSndRdpVLastDeviceInfo (3): end of %u devices",
                                                static_cast<unsigned>(devices.size())));
}

bool CEmuSession::SendHugeNotification() {
    // Streamed in pieces, so the emulator itself never holds 64 MiB: the
    // length field, the record's fixed part, then a name of 'x' and its terminator.
    uint8_t head[kFrameLengthSize + SndDeviceInfoSize(0)];
    uint8_t field[kFrameLengthSize];
    StoreFrameLength(field, kEmuHugeNotificationSize);
    std::memcpy(head, field, sizeof(field));
    SndBuildDeviceInfo(head + kFrameLengthSize, SndDeviceInfoSize(0), 0, 0, 1, 0, u"", 0);
    SndStoreU32(head + kFrameLengthSize, kSndOffSize, kEmuHugeNotificationSize);
    if (!m_session->Write(head, kFrameLengthSize + kSndOffDeviceName)) return false;
    std::vector<uint8_t> name(kHugeNotificationPiece);
    for (size_t i = 0; i < name.size(); i += 2) name[i] = 'x';
    for (size_t left = kEmuHugeNotificationSize - kSndOffDeviceName; left != 0;) {
        const size_t n = left < name.size() ? left : name.size();
        if (n == left) name[n - 2] = 0;  // the terminator ends the last piece
        if (!m_session->Write(name.data(), n)) return false;
        left -= n;
    }
    Print(zktools::Format(L"-> eZkSndRdpVDeviceInfo (2) of %lu bytes [fault]", kEmuHugeNotificationSize));
    return true;
}

bool CEmuSession::OnActions(CPipeSession& session, uint32_t actions) {
    if (actions & kActionDrop) {
        session.SetEndReason(L"dropped on request");
        return false;
    }
    if ((actions & kActionUnknown) && !SendUnknown()) return false;
    if ((actions & kActionDevices) && !SendDeviceList()) return false;
    return true;
}

const CEmuSession::CommandRow CEmuSession::kCommands[] = {
    {nCmdSetSessionId, L"nCmdSetSessionId", &CEmuSession::DescribeSessionId, &CEmuSession::OnSetSessionId},
    {nCmdGetDeviceList, L"nCmdGetDeviceList", nullptr, &CEmuSession::OnGetDeviceList},
    {nCmdSetDefaultDevice, L"nCmdSetDefaultDevice", &CEmuSession::DescribeDevice, &CEmuSession::OnSetDefaultDevice},
    {nCmdSetSettings, L"nCmdSetSettings", nullptr, &CEmuSession::OnSetSettings},
    {nCmdGetSettings, L"nCmdGetSettings", nullptr, &CEmuSession::OnGetSettings},
};

bool CEmuSession::OnMessage(CPipeSession&, const uint8_t* message, uint32_t length) {
    const EmuOptions& options = m_server->Options();
    ++m_received;
    m_server->CountMessage();
    SndDecodedRequest request;
    SndDecodeRequest(message, length, request);
    bool alive = true;
    if (request.valid) alive = Dispatch(request);
    else Print(zktools::Format(L"<- message of %u bytes, shorter than a header: ignored", static_cast<unsigned>(length)));
    if (alive && options.dropAfter != 0 && m_received >= options.dropAfter) {
        m_session->SetEndReason(zktools::Format(L"dropped after %u messages (--drop-after)", m_received));
        return false;
    }
    return alive;
}

bool CEmuSession::Dispatch(const SndDecodedRequest& request) {
    const CommandRow* row = nullptr;
    for (const CommandRow& candidate : kCommands)
        if (candidate.command == request.command) row = &candidate;
    std::wstring line =
        zktools::Format(L"<- %s (%u)", row != nullptr ? row->name : L"unknown command", request.command);
    if (request.requestId != 0) line += zktools::Format(L" request %u", request.requestId);
    if (row != nullptr && row->detail != nullptr) line += (this->*row->detail)(request);
    if (!request.wellFormed)
        line += zktools::Format(L" [unusual: %u bytes received, size field %u]", static_cast<unsigned>(request.length),
                                request.size);
    Print(line);
    return row != nullptr ? (this->*row->handle)(request) : OnUnknownCommand(request);
}

std::wstring CEmuSession::DescribeSessionId(const SndDecodedRequest& request) {
    if (!request.hasArgument) return L": no session id";
    std::wstring text = zktools::Format(L": session %u", request.argument);
    // The pipe knows the caller's session: a client that claims another is worth a warning.
    ULONG piped = 0;
    if (m_session->ClientSessionId(&piped))
        text += piped == request.argument ? zktools::Format(L" (pipe: session %lu)", piped)
                                          : zktools::Format(L" [warning: the pipe reports session %lu]", piped);
    return text;
}

std::wstring CEmuSession::DescribeDevice(const SndDecodedRequest& request) {
    return request.hasArgument ? zktools::Format(L": device %u", request.argument) : std::wstring(L": no device value");
}

bool CEmuSession::Withheld(uint32_t bit, const wchar_t* what) {
    if ((m_server->Options().withhold & bit) == 0) return false;
    Print(std::wstring(L"   ") + what + L" withheld (--withhold)");
    return true;
}

bool CEmuSession::Reply(const SndDecodedRequest& request, uint32_t status, const uint8_t* record,
                        const std::wstring& note) {
    uint8_t reply[kSndSettingsReplySize];
    const size_t n = SndBuildReply(reply, sizeof(reply), request.requestId, request.command, status, record);
    return Delay() && SendMessage(reply, n,
                                  zktools::Format(L"reply to request %u: status %u", request.requestId, status) + note,
                                  true);
}

bool CEmuSession::OnSetSessionId(const SndDecodedRequest& request) {
    if (request.hasArgument) {  // nothing is answered
        m_sessionId = request.argument;
        m_haveSessionId = true;
    }
    return true;
}

bool CEmuSession::OnGetDeviceList(const SndDecodedRequest&) {
    if (Withheld(kWithholdDeviceList, L"device list")) return true;
    return Delay() && SendDeviceList();
}

bool CEmuSession::OnSetDefaultDevice(const SndDecodedRequest& request) {
    if (!request.hasArgument) return true;
    std::wstring name;
    if (m_server->State().SetDefault(request.argument, &name))
        Print(zktools::Format(L"   device %u \"%s\" is now the default", request.argument,
                              zktools::EscapeControls(name).c_str()));
    else
        Print(zktools::Format(L"   no device with id %u: nothing changed", request.argument));
    return true;
}

bool CEmuSession::OnGetSettings(const SndDecodedRequest& request) {
    if (Withheld(kWithholdGetSettings, L"reply")) return true;
    const uint32_t status = m_server->Options().getStatus;
    uint8_t record[kSndSettingsSize];
    m_server->State().GetSettings(record);
    return Reply(request, status, status == 0 ? record : nullptr, status == 0 ? L", settings record" : L"");
}

bool CEmuSession::OnSetSettings(const SndDecodedRequest& request) {
    if (Withheld(kWithholdSetSettings, L"reply")) return true;
    uint32_t status = m_server->Options().setStatus;
    std::wstring note = L", record not stored";
    DWORD error = 0;
    if (request.settings == nullptr) {
        status = ERROR_INVALID_PARAMETER;
        note = L", no whole record received";
    } else if (status == 0 && m_server->State().SetSettings(request.settings, &error)) {
        note = L", record stored";
    } else if (status == 0) {
        status = error;
        note = L", settings file not written: " + zktools::ErrorText(error);
    }
    return Reply(request, status, nullptr, note);
}

bool CEmuSession::OnUnknownCommand(const SndDecodedRequest& request) {
    // Answer numbered requests anyway, so their sender is not left waiting.
    if (request.requestId == 0) return true;
    return Reply(request, ERROR_INVALID_FUNCTION, nullptr, L" (unknown command)");
}

bool CEmuSession::OnConnected(CPipeSession& session) {
    m_session = &session;
    m_server->CountConnection();
    const EmuOptions& options = m_server->Options();
    ULONG piped = 0;
    if (session.ClientSessionId(&piped)) Print(zktools::Format(L"connected (pipe: session %lu)", piped));
    else Print(L"connected");
    if (options.fault == EmuFault::kHugeNotification && !SendHugeNotification()) return false;
    bool alive = true;
    if (options.withhold & kWithholdServerInfo) Print(L"   server information withheld (--withhold)");
    else alive = Delay() && SendServerInfo();
    if (alive && options.sendUnknown) alive = SendUnknown();
    if (alive) m_server->SetGreeted();
    // A device list signalled while nobody was connected.
    if (alive && m_server->TakePendingDevices()) {
        Print(L"   the device list signalled while no client was connected");
        alive = SendDeviceList();
    }
    if (alive && options.fault == EmuFault::kChurn) {
        session.SetEndReason(L"dropped after the greeting [fault]");
        return false;
    }
    return alive;
}

void CEmuSession::OnEnded(CPipeSession&, const std::wstring& reason) {
    if (m_haveSessionId) Print(zktools::Format(L"disconnected (session %u): ", m_sessionId) + reason);
    else Print(L"disconnected: " + reason);
}

// ---- CEmuServer ----------------------------------------------------------------

namespace {

static_assert(kEmuUnlimitedInstances == PIPE_UNLIMITED_INSTANCES, "the options' instance limit is the pipe's");

PipeServerConfig ConfigFor(const EmuOptions& options, CServicePipeSecurity& security, CEmuServer* server) {
    PipeServerConfig config;
    config.name = options.pipeName;
    config.maxInstances = options.maxInstances;
    config.defaultTimeoutMs = options.defaultTimeoutMs;
    config.bufferSize = options.bufferSize;
    config.readMessages = options.fault != EmuFault::kStopReading;
    config.security = security.Build() ? security.attributes() : nullptr;
    config.log = [server](const std::wstring& text) { server->Print(text); };
    return config;
}

}  // namespace

CEmuServer::CEmuServer(const EmuOptions& options, CEmuState& state)
    : m_options(options), m_state(state), m_traffic(lumlib::NewEvent(false)), m_greeted(lumlib::NewEvent(true)),
      m_pipe(ConfigFor(options, m_security, this),
             [this](const std::shared_ptr<CPipeSession>&) { return std::unique_ptr<IPipeConnectionHandler>(new CEmuSession(this)); }) {}

CEmuServer::~CEmuServer() { Stop(); }

void CEmuServer::Print(const std::wstring& text) {
    if (m_options.quiet) return;
    const std::wstring line = zktools::TimeStamp() + L" " + text;
    if (m_options.output) m_options.output(line);
    else zktools::PrintLine(line);
}

DWORD CEmuServer::Start() {
    if (m_pipe.IsRunning()) return 0;
    const DWORD error = m_pipe.Start();
    if (error == 0) Print(L"serving \\\\.\\pipe\\" + m_options.pipeName);
    return error;
}

void CEmuServer::Stop() { m_pipe.Stop(); }

bool CEmuServer::PostToAll(uint32_t actions) {
    // Pending first, so a client connecting meanwhile gets the list at least once.
    if (actions & CEmuSession::kActionDevices) m_devicesPending = true;
    const bool anyone = m_pipe.ClientCount() != 0;
    if (anyone) {
        m_devicesPending = false;
        // A drop ends each session at once: one blocked in a write to a client
        // that reads nothing would see a posted action only after that write.
        if (actions & CEmuSession::kActionDrop) m_pipe.EndAll(CPipeSession::kEndClose);
        m_pipe.PostToAll(actions & ~uint32_t(CEmuSession::kActionDrop));
    }
    return anyone;
}

}  // namespace tessaline_emu

#include "support/ServerTrust.h"

#include <cwctype>

namespace lumlib {

namespace {

const uint32_t kImpersonationSetting = 2;  // SecurityImpersonation in the platform's numbering

const wchar_t kLocalSystem[] = L"S-1-5-18";
const wchar_t kLocalService[] = L"S-1-5-19";
const wchar_t kNetworkService[] = L"S-1-5-20";
const wchar_t kAdministrators[] = L"S-1-5-32-544";
// Per-service SIDs (NT SERVICE\name): S-1-5-80 and five sub-authorities.
const wchar_t kServiceSidPrefix[] = L"S-1-5-80-";

// "S-1-" followed by dash-separated decimal groups, none empty.
bool IsSidString(const std::wstring& s) {
    if (s.size() < 5 || (s[0] != L'S' && s[0] != L's') || s[1] != L'-') return false;
    bool digitSeen = false;
    for (size_t i = 2; i < s.size(); ++i) {
        if (s[i] >= L'0' && s[i] <= L'9') {
            digitSeen = true;
        } else if (s[i] == L'-' && digitSeen) {
            digitSeen = false;
        } else {
            return false;
        }
    }
    return digitSeen;
}

// SID strings are ASCII; only the leading S may differ in case.
bool SameSid(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    return true;
}

bool StartsWithSid(const std::wstring& s, const wchar_t* prefix) {
    const std::wstring p(prefix);
    return s.size() > p.size() && SameSid(s.substr(0, p.size()), p);
}

std::wstring Trimmed(const std::wstring& s) {
    const size_t first = s.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return std::wstring();
    return s.substr(first, s.find_last_not_of(L" \t") - first + 1);
}

}  // namespace

PipeClientLevel LevelFromSetting(bool present, uint32_t value) {
    return present && value == kImpersonationSetting ? PipeClientLevel::Impersonation
                                                     : PipeClientLevel::Identification;
}

bool SpeaksForServer(const ServerIdentity& server) { return !server.ownerOfPipe || server.sessionId == 0; }

bool IsAcceptedServer(const ServerIdentity& server, const std::wstring& callerSid,
                      const std::vector<std::wstring>& trustedSids) {
    const std::wstring& sid = server.sid;
    if (!IsSidString(sid) || !SpeaksForServer(server)) return false;
    for (const wchar_t* wellKnown : {kLocalSystem, kLocalService, kNetworkService})
        if (SameSid(sid, wellKnown)) return true;
    if (StartsWithSid(sid, kServiceSidPrefix)) return true;
    if (server.ownerOfPipe && SameSid(sid, kAdministrators)) return true;
    // A server running as the caller gains nothing it does not already have.
    if (IsSidString(callerSid) && SameSid(sid, callerSid)) return true;
    for (const std::wstring& trusted : trustedSids)
        if (IsSidString(trusted) && SameSid(sid, trusted)) return true;
    return false;
}

std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t chars) {
    std::vector<std::wstring> out;
    if (data == nullptr) return out;
    size_t start = 0;
    for (size_t i = 0; i <= chars; ++i) {
        if (i < chars && data[i] != L'\0') continue;
        const std::wstring entry = Trimmed(std::wstring(data + start, data + i));
        if (!entry.empty()) out.push_back(entry);
        start = i + 1;
    }
    return out;
}

}  // namespace lumlib

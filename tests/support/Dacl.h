// Reading a security descriptor's DACL in tests: the rights it grants whom.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

namespace zk_testkit {

// The descriptor's DACL; null (a test failure) when it has none or a null one, which lets everyone do everything.
inline PACL DaclOf(PSECURITY_DESCRIPTOR sd) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (sd == nullptr || !::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
        ADD_FAILURE() << "no DACL, or a null one";
        return nullptr;
    }
    return dacl;
}

// The rights the DACL's access-allowed ACEs grant the SIDs that match (inherit-only ACEs, which
// only objects made inside get, when withInheritOnly); an ACE of another type is a test failure.
template <class Match>
DWORD GrantedRights(PACL dacl, Match match, bool withInheritOnly = false) {
    DWORD rights = 0;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            ADD_FAILURE() << "ACE " << i << " is not an access-allowed ACE";
            continue;
        }
        const bool counted = withInheritOnly || !(ace->Header.AceFlags & INHERIT_ONLY_ACE);
        if (counted && match(PSID(&ace->SidStart))) rights |= ace->Mask;
    }
    return rights;
}

// Matchers for GrantedRights.
inline auto WellKnown(WELL_KNOWN_SID_TYPE type) {
    return [type](PSID sid) { return ::IsWellKnownSid(sid, type) != FALSE; };
}

}  // namespace zk_testkit

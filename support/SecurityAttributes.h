// Security attributes of the service pipe handle: a DACL giving everyone all
// access and a low-integrity, no-write-up mandatory label.
#pragma once

#include <windows.h>

// A SECURITY_ATTRIBUTES record (pass it to CreateFileW as is) that also keeps
// the label descriptor its SACL points into, so that both are freed together.
struct LumSecurityAttributes : SECURITY_ATTRIBUTES {
    PSECURITY_DESCRIPTOR labelDescriptor = nullptr;  // LocalAlloc'ed by AddLowIntegrityLabel, or null
    PACL acl = nullptr;                               // the descriptor's DACL, freed with it
};

// Fills the record (length 24, a fresh 40-byte descriptor with an Everyone
// all-access DACL, not inheritable). false: record unchanged, nothing allocated.
bool BuildEveryoneAccess(LumSecurityAttributes* record);
// Puts the low-integrity no-write-up label on a record built by BuildEveryoneAccess.
bool AddLowIntegrityLabel(LumSecurityAttributes* record);
// Frees what the two steps allocated (DACL, descriptor block, label
// descriptor); does not free the record itself.
void FreeSecurityAttributes(LumSecurityAttributes* record);

// The pipe's security record as an owned object: Build fills it, the
// destructor frees what was built. Held through a unique_ptr, so whoever owns
// the pointer owns the record.
class CPipeSecurity {
public:
    CPipeSecurity() = default;
    ~CPipeSecurity() { FreeSecurityAttributes(&m_record); }
    CPipeSecurity(const CPipeSecurity&) = delete;
    CPipeSecurity& operator=(const CPipeSecurity&) = delete;

    // The everyone-access DACL, then the low-integrity label. false when the
    // DACL cannot be built: nothing is held and attributes() stays null.
    bool Build();
    // What to pass to CreateFileW: null until built.
    SECURITY_ATTRIBUTES* attributes() { return m_record.lpSecurityDescriptor != nullptr ? &m_record : nullptr; }
    const LumSecurityAttributes& record() const { return m_record; }

private:
    LumSecurityAttributes m_record{};
};

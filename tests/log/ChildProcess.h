// Multi-process log tests: this test program started again as a child that
// plays one role (the disabled LogChild.DISABLED_Role test reads it from its
// environment), and a start line so that the children write at the same time.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/Holders.h"

const wchar_t kChildRoleVariable[] = L"ZKLOG_CHILD_ROLE";
const DWORD kChildWatchdogMs = 120000;  // a child that hangs fails the test, it never blocks CI

// Names of the parent's start-line objects, unique per parent process.
inline std::wstring StartLineName(const wchar_t* what, DWORD parent) {
    return L"Local\\zklog-" + std::wstring(what) + L"-" + std::to_wstring(parent);
}

// Starts a child with the role text ("kind|folder|numbers...") in its environment.
inline CHandleHolder StartChild(const std::wstring& role) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=LogChild.DISABLED_Role";
    const std::wstring withParent = role + L"|" + std::to_wstring(GetCurrentProcessId());
    SetEnvironmentVariableW(kChildRoleVariable, withParent.c_str());  // inherited by the child only
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    const BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableW(kChildRoleVariable, nullptr);
    if (!started) return CHandleHolder();
    CHandleHolder thread(pi.hThread);
    return CHandleHolder(pi.hProcess);
}

// Waits for every child within the watchdog; true when all ended with exit code 0.
// A child still running then is ended, so nothing outlives the test.
inline bool WaitChildren(std::vector<CHandleHolder>& children) {
    bool ok = true;
    const DWORD start = GetTickCount();
    for (CHandleHolder& child : children) {
        const DWORD waited = GetTickCount() - start;
        DWORD code = 1;
        if (!child.is_valid() ||
            WaitForSingleObject(child.get(), waited < kChildWatchdogMs ? kChildWatchdogMs - waited : 0) != WAIT_OBJECT_0) {
            if (child.is_valid()) TerminateProcess(child.get(), 1);
            ok = false;
        } else if (!GetExitCodeProcess(child.get(), &code) || code != 0) {
            ok = false;
        }
    }
    return ok;
}

// The role, split at "|"; empty in an ordinary run.
inline std::vector<std::wstring> ChildRole() {
    std::vector<std::wstring> parts;
    wchar_t role[2048] = {};
    if (!GetEnvironmentVariableW(kChildRoleVariable, role, 2048)) return parts;
    std::wstring text = role;
    for (size_t start = 0, bar;; start = bar + 1) {
        bar = text.find(L'|', start);
        parts.push_back(text.substr(start, bar - start));
        if (bar == std::wstring::npos) break;
    }
    return parts;
}

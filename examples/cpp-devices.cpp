// cpp-devices: the device table, a new default device and a settings round
// trip, through the C++ companion header zksndapi.hpp, riding out a service
// that goes away and comes back.
//
//   cpp-devices            prints the table, makes the first render device that is
//                          not the default the default one (when there is one),
//                          prints the table again, reads the settings and writes
//                          them back unchanged
//
// Every step that meets "not connected" or a connection lost mid-way waits for
// the library's next connection (it retries once a second by itself) and tries
// again, a few times. Output is UTF-8; device names are escaped.
//
// Exit code: 0 done; 1 the library did not start; 2 no connection within 10 s;
// 3 no device list; 4 the new default was refused; 5 the settings round trip failed.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "zksndapi.hpp"

namespace {

const auto kConnectWait = std::chrono::seconds(10);
const auto kListWait = std::chrono::seconds(5);
const int kAttempts = 5;

void PrintTable(const std::vector<zksnd::Device>& devices) {
    std::printf("VALUE  DEFAULT  KIND     NAME\n");
    for (const zksnd::Device& d : devices)
        std::printf("%5u  %-7s  %-7s  %s\n", d.value, d.isDefault ? "yes" : "-", d.render ? "render" : "capture",
                    zksnd::Printable(d.name).c_str());
    std::fflush(stdout);
}

// Whether a failed step is worth another try after the next connection: 20, or 1 (a request
// whose connection broke while it waited for the reply; the 6 may come a moment later).
bool ConnectionTrouble(uint32_t status) {
    return status == ZKSND_STATUS_NOT_CONNECTED || status == ZKSND_STATUS_FAILED;
}

// Runs step() until it succeeds, fails for another reason, or kAttempts are used;
// between tries it waits for the connection.
template <class Step>
auto WithReconnect(zksnd::Session& session, const char* what, Step step) -> decltype(step()) {
    auto result = step();
    for (int attempt = 1; attempt < kAttempts && !result && ConnectionTrouble(result.status); ++attempt) {
        std::printf("%s: %s; waiting for the connection\n", what, result.Text());
        std::fflush(stdout);
        session.WaitConnected(kConnectWait);
        result = step();
    }
    return result;
}

zksnd::DeviceList ListDevices(zksnd::Session& session) {
    zksnd::DeviceList list = WithReconnect(session, "device list", [&] { return session.Devices(kListWait); });
    if (!list) std::printf("device list: %s\n", list.Message().c_str());
    return list;
}

int Run() {
    zksnd::Handlers handlers;
    // Handlers run on the library's threads: they only print here (printf locks stdout).
    handlers.connected = [] { std::printf("event: connected\n"); std::fflush(stdout); };
    handlers.connectionLost = [](uint32_t) { std::printf("event: connection lost\n"); std::fflush(stdout); };
    handlers.deviceList = [](const std::vector<zksnd::Device>& devices) {
        std::printf("event: the service sent a list of %u devices\n", static_cast<unsigned>(devices.size()));
        std::fflush(stdout);
    };
    zksnd::Session session(handlers);

    if (!session.WaitConnected(kConnectWait)) {
        std::printf("no connection to the service within 10 s\n");
        return 2;
    }
    zksnd::DeviceList list = ListDevices(session);
    if (!list) return 3;
    PrintTable(list.devices);

    const zksnd::Device* chosen = nullptr;
    for (const zksnd::Device& d : list.devices)
        if (d.render && !d.isDefault) {
            chosen = &d;
            break;
        }
    if (chosen != nullptr) {
        const uint32_t value = chosen->value;
        const zksnd::Result set = WithReconnect(session, "set default", [&] { return session.SetDefault(value); });
        if (!set) {
            std::printf("set default %u: %s\n", value, set.Text());
            return 4;
        }
        std::printf("default device: %u\n", value);
        list = ListDevices(session);
        if (!list) return 3;
        PrintTable(list.devices);
    }

    const zksnd::SettingsResult read = WithReconnect(session, "get settings", [&] { return session.Settings(); });
    if (!read) {
        std::printf("get settings: %s (status %u)\n", read.Text(), read.status);
        return 5;
    }
    const zksnd::Result written =
        WithReconnect(session, "set settings", [&] { return session.SetSettings(read.settings); });
    const zksnd::SettingsResult again = WithReconnect(session, "get settings", [&] { return session.Settings(); });
    if (!written || !again || std::memcmp(&read.settings, &again.settings, sizeof(SndSettings)) != 0) {
        std::printf("settings round trip failed: %s\n", !written ? written.Text() : again.Text());
        return 5;
    }
    std::printf("settings round trip: %u bytes, unchanged\n", static_cast<unsigned>(sizeof(SndSettings)));
    std::printf("configuration locked: %s\n", session.ConfigLocked() ? "yes" : "no");
    return 0;
}

}  // namespace

int main() {
    try {
        return Run();
    } catch (const std::exception& e) {  // the library did not start, or another Session is alive
        std::printf("%s\n", e.what());
        return 1;
    }
}

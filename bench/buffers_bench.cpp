// Throughput of the block queue and of the transfer hand-off, each against a
// plain std::mutex + std::deque<std::vector<uint8_t>> queue measured in the
// same run. Prints ratios (above 1: faster than the baseline); asserts nothing.
// The queues lock Windows mutexes, which under Wine cost a wineserver round
// trip per wait and release, so ratios there are far lower than on Windows.
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "support/TransferBuffer.h"

namespace {

double Now() {
    static LARGE_INTEGER freq = [] { LARGE_INTEGER f; ::QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(freq.QuadPart);
}

// The baseline: every block is a vector of its own.
class DequeQueue {
public:
    void Write(const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> g(m_lock);
        m_blocks.emplace_back(data, data + size);
        m_ready.notify_one();
    }
    bool Read(std::vector<uint8_t>* out) {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_blocks.empty()) return false;
        out->assign(m_blocks.front().begin(), m_blocks.front().end());
        m_blocks.pop_front();
        return true;
    }
    void WaitRead(std::vector<uint8_t>* out) {
        std::unique_lock<std::mutex> g(m_lock);
        m_ready.wait(g, [this] { return !m_blocks.empty(); });
        out->swap(m_blocks.front());
        m_blocks.pop_front();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::deque<std::vector<uint8_t>> m_blocks;
};

// Writes `batch` blocks, then reads them back, `rounds` times; returns blocks per second.
double ListRate(size_t size, int rounds, int batch) {
    CBuffersList list;
    std::vector<uint8_t> data(size, 0x42), out(size);
    uint64_t checksum = 0;
    double start = Now();
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < batch; ++i) list.Write(size, data.data());
        uint64_t got = 0;
        for (int i = 0; i < batch; ++i) {
            const bool taken = list.TakeFront(out.data(), out.size(), &got);
            checksum += taken && got ? out[got - 1] : 0;
        }
    }
    double rate = double(rounds) * batch / (Now() - start);
    return checksum ? rate : 0.0;
}

double DequeRate(size_t size, int rounds, int batch) {
    DequeQueue q;
    std::vector<uint8_t> data(size, 0x42), out;
    uint64_t checksum = 0;
    double start = Now();
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < batch; ++i) q.Write(data.data(), size);
        for (int i = 0; i < batch; ++i) {
            if (q.Read(&out) && !out.empty()) checksum += out.back();
        }
    }
    double rate = double(rounds) * batch / (Now() - start);
    return checksum ? rate : 0.0;
}

class CountingSink : public CTransferBuffer {
public:
    CountingSink(uint64_t expected) : m_expected(expected), m_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) { Start(); }
    ~CountingSink() override { StopTransfer(1); }
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t) override {
        m_bytes += data[size - 1] ? size : 0;
        if (++m_count == m_expected) ::SetEvent(m_done.get());
        return 1;
    }
    void WaitDone() { ::WaitForSingleObject(m_done.get(), INFINITE); }

private:
    uint64_t m_expected;
    uint64_t m_count = 0;
    uint64_t m_bytes = 0;
    CHandleHolder m_done;
};

// One producer thread to one consumer thread; returns blocks per second.
double TransferRate(size_t size, int blocks) {
    CountingSink sink(blocks);
    std::vector<uint8_t> data(size, 0x42);
    double start = Now();
    for (int i = 0; i < blocks; ++i) sink.Push(data.data(), size);
    sink.WaitDone();
    return blocks / (Now() - start);
}

double DequeHandOffRate(size_t size, int blocks) {
    DequeQueue q;
    std::vector<uint8_t> data(size, 0x42);
    uint64_t bytes = 0;
    double start = Now();
    std::thread consumer([&] {
        std::vector<uint8_t> block;
        for (int i = 0; i < blocks; ++i) {
            q.WaitRead(&block);
            bytes += block.back() ? block.size() : 0;
        }
    });
    for (int i = 0; i < blocks; ++i) q.Write(data.data(), size);
    consumer.join();
    return bytes ? blocks / (Now() - start) : 0.0;
}

}  // namespace

int main() {
    const size_t sizes[] = {64, 4096, 100000};
    std::printf("%-34s %12s %12s %8s\n", "case", "blocks/s", "baseline/s", "ratio");
    for (size_t size : sizes) {
        int batch = size > 32767 ? 8 : 64;
        int rounds = size > 32767 ? 50 : 200;
        double mine = ListRate(size, rounds, batch);
        double base = DequeRate(size, rounds, batch);
        std::printf("CBuffersList write/read %8zu B %12.0f %12.0f %8.4f\n", size, mine, base, base > 0 ? mine / base : 0.0);
    }
    for (size_t size : sizes) {
        int blocks = size > 32767 ? 500 : 20000;
        double mine = TransferRate(size, blocks);
        double base = DequeHandOffRate(size, blocks);
        std::printf("CTransferBuffer push->process %6zu B %12.0f %12.0f %8.4f\n", size, mine, base, base > 0 ? mine / base : 0.0);
    }
    return 0;
}

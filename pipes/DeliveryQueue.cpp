#include "pipes/DeliveryQueue.h"

namespace {

// A batch's notes are kept for the next one up to this many (they are 16 bytes each).
const size_t kStagedKept = 4096;

}  // namespace

CDeliveryQueue::CDeliveryQueue(IDeliveryOwner* owner) : m_owner(owner), m_queue(this) {}

CDeliveryQueue::~CDeliveryQueue() { m_queue.StopTransfer(1); }

DWORD CDeliveryQueue::Start() {
    m_queue.SetQueueCap(kCap);
    return m_queue.Start();
}

void CDeliveryQueue::Stop() {
    m_queue.StopTransfer(1);
    ReportDrops(true);  // nothing is dropped any more: the last ones are told now
}

void CDeliveryQueue::Stage(const uint8_t* message, uint32_t size) {
    // A slow owner must not make the queue grow without bound: past its cap
    // the push is refused, and the drop costs a count, never a wait (replies
    // and the loss come behind it on the reader).
    const CTransferBuffer::BlockKind kind = m_owner->NotificationKind(message, size);
    m_stagingThread.store(::GetCurrentThreadId());
    const bool staged = lumlib::CatchReturn([&] { m_staged.push_back(CTransferBuffer::Block{message, size, kind}); }) == ERROR_SUCCESS;
    if (staged) return;
    // No room to stage it: what is staged goes first, so the block is never
    // queued ahead of the ones read before it (a list's end before its records).
    PushStaged();
    if (!m_queue.PushBlock(message, size, false, kind)) CountDrops(1, size);
}

void CDeliveryQueue::PushStaged() {
    const CTransferBuffer::Refused refused = m_queue.PushBatch(m_staged.data(), m_staged.size());
    m_staged.clear();
    if (refused.count != 0) CountDrops(refused.count, refused.bytes);
}

void CDeliveryQueue::EndBatch() {
    if (m_stagingThread.load() != ::GetCurrentThreadId()) return;
    PushStaged();
    if (m_staged.capacity() > kStagedKept) m_staged.shrink_to_fit();  // after a burst
    m_stagingThread.store(0);
}

void CDeliveryQueue::Push(const uint8_t* message, uint32_t size) {
    if (!m_queue.PushBlock(message, size, false, m_owner->NotificationKind(message, size))) CountDrops(1, size);
}

void CDeliveryQueue::CountDrops(uint32_t count, uint64_t bytes) {
    m_droppedNotifications += count;
    m_unreportedDropBytes += bytes;
    m_unreportedDrops += count;
    ReportDrops(false);
}

uint32_t CDeliveryQueue::Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
    if (size != 0) m_owner->OnDelivery(data, static_cast<uint32_t>(size), m_queue.DeliveringEpoch());
    // Drops that stopped within a second of the last report are told here, at
    // the latest once the queue has drained: nothing may come to tell them later.
    ReportDrops(queueEmpty != 0);
    return 1;
}

void CDeliveryQueue::ReportDrops(bool now) {
    if (m_unreportedDrops.load() == 0) return;
    ULONGLONG last = m_lastDropReport.load();
    const ULONGLONG tick = ::GetTickCount64();
    if (!now && tick - last < kDropReportMs) return;
    // One thread reports; another that saw the same time leaves it.
    if (!m_lastDropReport.compare_exchange_strong(last, tick)) return;
    const uint32_t count = m_unreportedDrops.exchange(0);
    const uint64_t bytes = m_unreportedDropBytes.exchange(0);
    if (count != 0) m_owner->OnNotificationsDropped(count, bytes, m_droppedNotifications.load());
}

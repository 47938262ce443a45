// The opt-in record queue. One bounded queue for all threads, slots claimed
// in turn (their order is the file's order), each holding one formatted line
// (a longer one is copied to the heap and its slot points to it). A caller
// claims a slot with one compare-and-swap, copies its bytes and publishes
// them; it makes a system call only to wake a writer that sleeps idle or
// must not wait for its next poll, to wait for room, or for a record at the
// sync level. The writer
// takes the published lines out in order and writes runs of whole lines with
// one write(2) where the log directory would write each of them with nothing
// else (no rollover, look, note or limit due), and the others through the
// directory's Append as a caller would: the files get the same bytes.
#include "queue_p.h"

#include "logdir_p.h"
#include "logfile_p.h"
#include "messages_p.h"
#include "status_p.h"
#include "writelock_p.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <new>

namespace
{
// A line up to this long is kept in its slot; a longer one on the heap.
const size_t nSlotBytes = 256;
// At most this many bytes go out with one write(2).
const size_t nRunBytes = 64 * 1024;
// The writer takes at most this many records out at a time.
const uint64_t nMaxTake = 1024;
// The top bit of the claim counter: the queue is closed.
const uint64_t nClosed = 1ull << 63;
// While records come, the writer looks for them this often and callers do
// not wake it (a wake is a system call, and the woken writer may take the
// caller's CPU), unless the queue is a quarter full, a record waits to be
// synced or a caller waits for room. After a second without records it
// sleeps until the next record wakes it.
const long nPollNanoseconds = 10 * 1000 * 1000;
const uint64_t nIdleAfterNanoseconds = 1000 * 1000 * 1000;
// m_nWriterAsleep: awake, asleep until any record, asleep until a poll.
const uint32_t nAwake = 0, nIdle = 1, nPolling = 2;

std::mutex g_pendingMutex;
LOGER_QUEUE g_pendingQueue;

inline int32_t Diff(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b);
}
void FutexWait(std::atomic<uint32_t>& word, uint32_t nValue)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, nValue, nullptr, nullptr, 0);
}
// The old timespec of the futex system call: two longs, 32-bit on 32-bit
// targets whatever time_t the library is built with.
void FutexWaitFor(std::atomic<uint32_t>& word, uint32_t nValue, long nNanoseconds)
{
    const struct
    {
        long tv_sec, tv_nsec;
    } timeout = {nNanoseconds / 1000000000, nNanoseconds % 1000000000};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, nValue, &timeout, nullptr, 0);
}
void FutexWake(std::atomic<uint32_t>& word, int nCount)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, nCount, nullptr, nullptr, 0);
}
uint64_t NowNanoseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

struct Slot
{
    std::atomic<uint32_t> nSeq{0}; // its position when free, position + 1 when published
    uint32_t nBytes = 0;
    int64_t tNow = 0;
    char* pHeap = nullptr;
    uint32_t nLineBegin = 0;
    uint32_t nLineLength = 0;
    unsigned int nThreadId = 0;
    unsigned int nLineNo = 0;
    int nLevel = 0;
    bool bEcho = false;
    bool bEmptyFirst = false;
    bool bEmptyLast = false;
    bool bWritten = false; // by the writer: to a file, so echoed
    bool bCrashWritten = false; // by a crash trace, which the host's handler survived
    char szTime[16] = {};
    char aBytes[nSlotBytes];
    const char* Bytes() const { return pHeap != nullptr ? pHeap : aBytes; }
};

__thread bool t_bIsWriter __attribute__((tls_model("initial-exec"))) = false;
} // namespace

namespace LogerDetail
{
class RecordQueue
{
public:
    RecordQueue(uint32_t nCapacity, Slot* pSlots, bool bDrop, int nSyncLevel)
        : m_pSlots(pSlots), m_nCapacity(nCapacity), m_nMask(nCapacity - 1), m_bDrop(bDrop), m_nSyncLevel(nSyncLevel)
    {
        for (uint32_t n = 0; n < nCapacity; ++n)
            m_pSlots[n].nSeq.store(n, std::memory_order_relaxed);
    }

    bool Put(const RecordBytes& record, time_t tNow, int nLevel, bool bEcho);
    void Run();
    void Close();
    void DrainHere();
    void WriteOutForCrash(int nFd);
    void Resume()
    {
        m_nCrashed.store(0, std::memory_order_seq_cst);
        FutexWake(m_nCrashed, 1);
    }
    LOGER_QUEUE_STATUS Status() const;

private:
    Slot& At(uint64_t nPos) const { return m_pSlots[nPos & m_nMask]; }
    bool IsPublished(uint64_t nPos) const
    {
        return At(nPos).nSeq.load(std::memory_order_acquire) == static_cast<uint32_t>(nPos + 1);
    }
    void WaitForRoom(const Slot& slot, uint64_t nPos);
    void WaitUntilWritten(uint64_t nEnd);
    void WakeWriter(bool bUrgent);
    void WriteRange(uint64_t nTail, uint64_t nEnd, bool bFinal);
    void WriteSlots(uint64_t nFrom, uint64_t nEnd);
    void LoadRecord(const Slot& slot);

    Slot* const m_pSlots;
    const uint32_t m_nCapacity;
    const uint64_t m_nMask;
    const bool m_bDrop;
    const int m_nSyncLevel;
    // The callers' counter and the writer's apart, a cache line between
    // them (padding, not alignas: an over-aligned new needs a newer
    // libstdc++ than devices have).
    [[maybe_unused]] char m_padBeforeHead[64] = {};
    std::atomic<uint64_t> m_nHead{0}; // the next position to claim, | nClosed
    [[maybe_unused]] char m_padAfterHead[64] = {};
    std::atomic<uint64_t> m_nTail{0}; // written up to here
    std::atomic<uint64_t> m_nInFlightEnd{0};      // being written up to here
    std::atomic<uint32_t> m_nWrittenWord{0};      // m_nTail's low bits, for those waiting for a sync
    std::atomic<uint64_t> m_nFreed{0};            // the slots freed up to here (written, echoed)
    std::atomic<uint32_t> m_nFreedWord{0};        // its low bits, for those waiting for room
    std::atomic<uint32_t> m_nWaiters{0};
    std::atomic<uint32_t> m_nWriterAsleep{0};
    std::atomic<uint32_t> m_nCrashed{0};
    std::atomic<uint32_t> m_nDrained{0}; // closed and all written
    std::atomic<uint64_t> m_nHighWater{0};
    std::atomic<uint64_t> m_nDropped{0};
    std::atomic<uint64_t> m_nWaitedNs{0};
    // The writer's own.
    RecordBytes m_record;
    LineBuffer m_run;
};

std::atomic<RecordQueue*> g_pRecordQueue{nullptr};

namespace
{
std::atomic<RecordQueue*> g_pMadeQueue{nullptr}; // made at a start, the writer's
} // namespace

bool RecordQueue::Put(const RecordBytes& record, time_t tNow, int nLevel, bool bEcho)
{
    if (t_bIsWriter)
        return false; // a record from the writer's own echo: written at once
    const size_t nBytes = record.bytes.Size();
    char* pHeap = nullptr;
    if (nBytes > nSlotBytes) {
        pHeap = static_cast<char*>(malloc(nBytes));
        if (pHeap == nullptr)
            return false;
        memcpy(pHeap, record.bytes.Data(), nBytes);
    }
    uint64_t nPos = m_nHead.load(std::memory_order_relaxed);
    Slot* pSlot = nullptr;
    for (;;) {
        if ((nPos & nClosed) != 0) {
            // Written by the caller once what was queued before is written:
            // a thread's records stay in order.
            free(pHeap);
            while (m_nDrained.load(std::memory_order_acquire) == 0)
                FutexWait(m_nDrained, 0);
            return false;
        }
        pSlot = &At(nPos);
        const int32_t nDiff = Diff(pSlot->nSeq.load(std::memory_order_acquire), static_cast<uint32_t>(nPos));
        if (nDiff == 0) {
            if (m_nHead.compare_exchange_weak(nPos, nPos + 1, std::memory_order_relaxed, std::memory_order_relaxed))
                break;
        } else if (nDiff < 0) { // full
            if (m_bDrop) {
                free(pHeap);
                m_nDropped.fetch_add(1, std::memory_order_relaxed);
                CountLostWithoutLock(ENOBUFS); // told before the next line written
                return true;
            }
            WaitForRoom(*pSlot, nPos);
            nPos = m_nHead.load(std::memory_order_relaxed);
        } else {
            nPos = m_nHead.load(std::memory_order_relaxed);
        }
    }
    Slot& slot = *pSlot;
    slot.nBytes = static_cast<uint32_t>(nBytes);
    slot.tNow = static_cast<int64_t>(tNow);
    slot.pHeap = pHeap;
    if (pHeap == nullptr)
        memcpy(slot.aBytes, record.bytes.Data(), nBytes);
    slot.nLineBegin = static_cast<uint32_t>(record.nLineBegin);
    slot.nLineLength = static_cast<uint32_t>(record.nLineLength);
    slot.nThreadId = record.nThreadId;
    slot.nLineNo = record.nLineNo;
    slot.nLevel = nLevel;
    slot.bEcho = bEcho;
    slot.bEmptyFirst = record.bEmptyFirst;
    slot.bEmptyLast = record.bEmptyLast;
    memcpy(slot.szTime, record.szTime, sizeof(slot.szTime));
    slot.nSeq.store(static_cast<uint32_t>(nPos + 1), std::memory_order_seq_cst);
    const uint64_t nDepth = nPos + 1 - m_nFreed.load(std::memory_order_relaxed);
    const bool bSync = m_nSyncLevel >= 0 && nLevel >= m_nSyncLevel;
    WakeWriter(bSync || nDepth >= m_nCapacity / 4);
    uint64_t nHigh = m_nHighWater.load(std::memory_order_relaxed);
    while (nDepth <= m_nCapacity && nDepth > nHigh &&
           !m_nHighWater.compare_exchange_weak(nHigh, nDepth, std::memory_order_relaxed)) {
    }
    if (bSync)
        WaitUntilWritten(nPos + 1);
    return true;
}

// The writer sleeps only when it found nothing to take: it is woken only
// then, and between polls only when bUrgent.
void RecordQueue::WakeWriter(bool bUrgent)
{
    const uint32_t nState = m_nWriterAsleep.load(std::memory_order_seq_cst);
    if ((nState == nIdle || (nState == nPolling && bUrgent)) && m_nWriterAsleep.exchange(nAwake) != nAwake)
        FutexWake(m_nWriterAsleep, 1);
}

void RecordQueue::WaitForRoom(const Slot& slot, uint64_t nPos)
{
    const uint64_t nStart = NowNanoseconds();
    const auto isFull = [&] {
        return Diff(slot.nSeq.load(std::memory_order_seq_cst), static_cast<uint32_t>(nPos)) < 0 &&
               (m_nHead.load(std::memory_order_seq_cst) & nClosed) == 0;
    };
    while (isFull()) {
        WakeWriter(true);
        const uint32_t nSeen = m_nFreedWord.load(std::memory_order_seq_cst);
        m_nWaiters.fetch_add(1, std::memory_order_seq_cst);
        if (isFull())
            FutexWait(m_nFreedWord, nSeen);
        m_nWaiters.fetch_sub(1, std::memory_order_seq_cst);
    }
    m_nWaitedNs.fetch_add(NowNanoseconds() - nStart, std::memory_order_relaxed);
}

void RecordQueue::WaitUntilWritten(uint64_t nEnd)
{
    const auto isDue = [&] {
        return Diff(m_nWrittenWord.load(std::memory_order_seq_cst), static_cast<uint32_t>(nEnd)) < 0;
    };
    while (isDue()) {
        const uint32_t nSeen = m_nWrittenWord.load(std::memory_order_seq_cst);
        m_nWaiters.fetch_add(1, std::memory_order_seq_cst);
        if (isDue())
            FutexWait(m_nWrittenWord, nSeen);
        m_nWaiters.fetch_sub(1, std::memory_order_seq_cst);
    }
}

void RecordQueue::Close()
{
    m_nHead.fetch_or(nClosed, std::memory_order_seq_cst);
    if (m_nWriterAsleep.exchange(nAwake) != nAwake)
        FutexWake(m_nWriterAsleep, 1);
    FutexWake(m_nFreedWord, INT_MAX);
}

// The queue closed by the writer thread itself (a host's message handler,
// called for the echo, that stops the logger or ends the process): nobody
// else is left to write what is queued.
void RecordQueue::DrainHere()
{
    const uint64_t nTail = m_nTail.load(std::memory_order_relaxed);
    const uint64_t nHead = m_nHead.load(std::memory_order_seq_cst) & ~nClosed;
    if (nHead != nTail)
        WriteRange(nTail, nHead, true);
}

void RecordQueue::Run()
{
    t_bIsWriter = true;
    uint64_t nTail = m_nTail.load(std::memory_order_relaxed);
    uint64_t nLastTaken = 0;
    for (;;) {
        uint64_t nEnd = nTail;
        while (nEnd - nTail < nMaxTake && IsPublished(nEnd))
            ++nEnd;
        if (nEnd != nTail) {
            nLastTaken = NowNanoseconds();
            WriteRange(nTail, nEnd, false);
            nTail = m_nTail.load(std::memory_order_relaxed); // further when the echo drained the queue
            continue;
        }
        const uint64_t nHead = m_nHead.load(std::memory_order_seq_cst);
        if ((nHead & nClosed) != 0) {
            // What was claimed before the close: the callers are copying
            // their bytes, and none writes before these are written.
            if ((nHead & ~nClosed) != nTail)
                WriteRange(nTail, nHead & ~nClosed, true);
            m_nDrained.store(1, std::memory_order_release);
            FutexWake(m_nDrained, INT_MAX);
            return;
        }
        const bool bPoll = NowNanoseconds() - nLastTaken < nIdleAfterNanoseconds;
        m_nWriterAsleep.store(bPoll ? nPolling : nIdle, std::memory_order_seq_cst);
        if (!IsPublished(nTail) && (m_nHead.load(std::memory_order_seq_cst) & nClosed) == 0) {
            if (bPoll)
                FutexWaitFor(m_nWriterAsleep, nPolling, nPollNanoseconds);
            else
                FutexWait(m_nWriterAsleep, nIdle);
        }
        m_nWriterAsleep.store(nAwake, std::memory_order_seq_cst);
    }
}

void RecordQueue::WriteRange(uint64_t nTail, uint64_t nEnd, bool bFinal)
{
    m_nInFlightEnd.store(nEnd, std::memory_order_seq_cst);
    while (m_nCrashed.load(std::memory_order_seq_cst) != 0)
        FutexWait(m_nCrashed, 1); // the crash trace writes them
    {
        const FileSection section;
        if (!bFinal) {
            WriteSlots(nTail, nEnd);
        } else {
            for (uint64_t nFrom = nTail; nFrom != nEnd;) {
                while (!IsPublished(nFrom))
                    sched_yield();
                uint64_t nTo = nFrom;
                while (nTo != nEnd && IsPublished(nTo))
                    ++nTo;
                WriteSlots(nFrom, nTo);
                nFrom = nTo;
            }
        }
    }
    m_nTail.store(nEnd, std::memory_order_seq_cst);
    m_nWrittenWord.store(static_cast<uint32_t>(nEnd), std::memory_order_seq_cst);
    if (m_nWaiters.load(std::memory_order_seq_cst) != 0)
        FutexWake(m_nWrittenWord, INT_MAX);
    // The echo, in the file's order, once the lock is released.
    for (uint64_t nPos = nTail; nPos != nEnd; ++nPos) {
        const Slot& slot = At(nPos);
        if (slot.bWritten && (slot.bEcho || slot.bEmptyFirst || slot.bEmptyLast)) {
            LoadRecord(slot);
            EmitAfterRecord(&m_record, slot.bEcho);
        }
    }
    EmitDiagnostics();
    for (uint64_t nPos = nTail; nPos != nEnd; ++nPos) {
        Slot& slot = At(nPos);
        free(slot.pHeap);
        slot.pHeap = nullptr;
        slot.bCrashWritten = false;
        slot.nSeq.store(static_cast<uint32_t>(nPos + m_nCapacity), std::memory_order_release);
    }
    if (nEnd > m_nFreed.load(std::memory_order_relaxed)) { // not when the echo drained the queue further
        m_nFreed.store(nEnd, std::memory_order_relaxed);
        m_nFreedWord.store(static_cast<uint32_t>(nEnd), std::memory_order_seq_cst);
    }
    if (m_nWaiters.load(std::memory_order_seq_cst) != 0)
        FutexWake(m_nFreedWord, INT_MAX);
}

// A queued line back as the record its caller made, for Append and the echo.
void RecordQueue::LoadRecord(const Slot& slot)
{
    m_record.bytes.Clear();
    m_record.bytes.Append(slot.Bytes(), slot.nBytes);
    m_record.nLineBegin = slot.nLineBegin;
    m_record.nLineLength = slot.nLineLength;
    m_record.bEmptyFirst = slot.bEmptyFirst;
    m_record.bEmptyLast = slot.bEmptyLast;
    m_record.nThreadId = slot.nThreadId;
    m_record.nLevel = slot.nLevel;
    m_record.nLineNo = slot.nLineNo;
    memcpy(m_record.szTime, slot.szTime, sizeof(m_record.szTime));
}

// Under the write lock: runs of lines that go as they are with one write
// each, the others one by one through Append.
void RecordQueue::WriteSlots(uint64_t nFrom, uint64_t nEnd)
{
    LogDirectory& directory = ActiveLogDirectory();
    const int nSyncLevel = directory.SyncLevel();
    while (nFrom != nEnd) {
        if (At(nFrom).bCrashWritten) { // written out by a crash trace the process survived
            At(nFrom).bWritten = true;
            directory.CountWritten(1);
            ++nFrom;
            continue;
        }
        m_run.Clear();
        uint64_t nRun = 0;
        bool bSync = false;
        const qint64 nSize = directory.FileSize();
        while (nFrom + nRun != nEnd) {
            const Slot& slot = At(nFrom + nRun);
            if (slot.bCrashWritten || (nRun > 0 && m_run.Size() + slot.nBytes > nRunBytes))
                break;
            if (!directory.TakesAsIs(static_cast<time_t>(slot.tNow), nSize + static_cast<qint64>(m_run.Size()),
                                     slot.nBytes))
                break;
            m_run.Append(slot.Bytes(), slot.nBytes);
            bSync = bSync || (nSyncLevel >= 0 && slot.nLevel >= nSyncLevel);
            ++nRun;
        }
        size_t nKept = 0;
        if (nRun > 0 && directory.WriteRun(m_run.Data(), m_run.Size(), static_cast<size_t>(nRun), bSync, nKept) == 0) {
            for (uint64_t n = 0; n < nRun; ++n)
                At(nFrom + n).bWritten = true;
            nFrom += nRun;
            continue;
        }
        // A failed write that could not be cut back left whole lines in the
        // file: they are written, never again.
        uint64_t nWhole = 0;
        for (; nWhole < nRun && nKept >= At(nFrom + nWhole).nBytes; ++nWhole) {
            nKept -= At(nFrom + nWhole).nBytes;
            At(nFrom + nWhole).bWritten = true;
        }
        if (nWhole > 0) {
            directory.CountWritten(static_cast<size_t>(nWhole));
            nFrom += nWhole;
            nRun -= nWhole;
            if (nRun == 0)
                continue;
        }
        // The first line that needs more than its write, or a run the file
        // refused: one by one, as its caller would have written them.
        const uint64_t nOneByOne = nRun > 0 ? nRun : 1;
        for (uint64_t n = 0; n < nOneByOne; ++n) {
            Slot& slot = At(nFrom + n);
            LoadRecord(slot);
            slot.bWritten = directory.Append(m_record, static_cast<time_t>(slot.tNow), slot.nLevel) != -1;
        }
        nFrom += nOneByOne;
    }
}

// In a signal handler: no lock, no allocation. The writer's write in
// progress is let finish (briefly), then it stops, and the rest goes out here.
void RecordQueue::WriteOutForCrash(int nFd)
{
    m_nCrashed.store(1, std::memory_order_seq_cst);
    const uint64_t nDeadline = NowNanoseconds() + 500000000u;
    while (!t_bIsWriter && m_nInFlightEnd.load(std::memory_order_seq_cst) != m_nTail.load(std::memory_order_seq_cst) &&
           NowNanoseconds() < nDeadline)
        sched_yield();
    const uint64_t nHead = m_nHead.load(std::memory_order_seq_cst) & ~nClosed;
    // A slot claimed but not filled (its caller may be the thread that
    // crashed) is passed over.
    for (uint64_t nPos = m_nTail.load(std::memory_order_seq_cst); nPos != nHead; ++nPos) {
        size_t nDone = 0;
        if (IsPublished(nPos) && !At(nPos).bCrashWritten) {
            WriteAll(nFd, At(nPos).Bytes(), At(nPos).nBytes, nDone);
            At(nPos).bCrashWritten = true;
        }
    }
}

LOGER_QUEUE_STATUS RecordQueue::Status() const
{
    LOGER_QUEUE_STATUS status;
    status.m_nCapacity = m_nCapacity;
    status.m_bDropWhenFull = m_bDrop;
    const uint64_t nHead = m_nHead.load(std::memory_order_relaxed) & ~nClosed;
    const uint64_t nFreed = m_nFreed.load(std::memory_order_relaxed);
    status.m_nDepth = nHead > nFreed ? nHead - nFreed : 0;
    status.m_nHighWater = m_nHighWater.load(std::memory_order_relaxed);
    status.m_nDropped = m_nDropped.load(std::memory_order_relaxed);
    status.m_nWaitedNanoseconds = m_nWaitedNs.load(std::memory_order_relaxed);
    return status;
}

LOGER_QUEUE PendingQueue()
{
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    return g_pendingQueue;
}

void MakeQueue(const LOGER_QUEUE& opt, int nSyncLevel)
{
    if (opt.m_nRecords == 0 || g_pMadeQueue.load() != nullptr)
        return;
    uint32_t nCapacity = 2;
    while (nCapacity < opt.m_nRecords && nCapacity < (1u << 30))
        nCapacity <<= 1;
    Slot* const pSlots = new (std::nothrow) Slot[nCapacity];
    if (pSlots == nullptr) {
        TellError(ENOMEM, "no memory for a queue of", nCapacity, "records: the callers write their records");
        return;
    }
    g_pMadeQueue.store(new RecordQueue(nCapacity, pSlots, opt.m_bDropWhenFull, nSyncLevel));
}

void PublishQueue()
{
    g_pRecordQueue.store(g_pMadeQueue.load(), std::memory_order_release);
}

void RunWriter()
{
    RecordQueue* const pQueue = g_pMadeQueue.load();
    if (pQueue != nullptr)
        pQueue->Run();
}

void CloseQueue()
{
    RecordQueue* const pQueue = g_pMadeQueue.load();
    if (pQueue != nullptr)
        pQueue->Close();
    if (pQueue != nullptr && t_bIsWriter)
        pQueue->DrainHere();
}

void ForgetQueue()
{
    g_pRecordQueue.store(nullptr, std::memory_order_release);
}

void DropQueueInChild()
{
    g_pRecordQueue.store(nullptr, std::memory_order_relaxed);
    g_pMadeQueue.store(nullptr, std::memory_order_relaxed);
}

void WriteOutQueueForCrash(int nFd)
{
    RecordQueue* const pQueue = g_pRecordQueue.load(std::memory_order_acquire);
    if (pQueue != nullptr && nFd >= 0)
        pQueue->WriteOutForCrash(nFd);
}

void ResumeQueueAfterTrace()
{
    RecordQueue* const pQueue = g_pRecordQueue.load(std::memory_order_acquire);
    if (pQueue != nullptr)
        pQueue->Resume();
}

bool QueueRecord(RecordQueue* pQueue, const RecordBytes& record, time_t tNow, int nLevel, bool bEcho)
{
    return pQueue->Put(record, tNow, nLevel, bEcho);
}
} // namespace LogerDetail

void SetLogerQueue(const LOGER_QUEUE& queue)
{
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    g_pendingQueue = queue;
}

LOGER_QUEUE_STATUS GetLogerQueueStatus()
{
    LogerDetail::RecordQueue* const pQueue = LogerDetail::g_pMadeQueue.load(std::memory_order_acquire);
    return pQueue != nullptr ? pQueue->Status() : LOGER_QUEUE_STATUS();
}

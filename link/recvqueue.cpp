#include "link/recvqueue.h"

#include "link/controlmessages.h"

#include <QDebug>
#include <algorithm>
#include <cstring>

namespace {

qint64 costOf(const RecvQueue::Chunk &chunk)
{
    return chunk.bytes.size() + qint64(chunk.room) * qint64(sizeof(frame::Slice));
}

bool isNodeList(const char *message, int length)
{
    return control::commandOf(message, length) == control::NodeList;
}

} // namespace

int RecvQueue::append(const QByteArray &read)
{
    // Passes compose: parsing a read in two pieces delivers what parsing it
    // whole does. So the frame the carry buffer waits for is completed with
    // only the bytes it lacks, and the rest of the read is parsed where it lies
    // instead of being copied behind the carry buffer. That takes at most two
    // steps: the rest of a split header, then the rest of the frame.
    int queued = 0;
    int from = 0;
    for (int step = 0; step < 2 && !m_carry.isEmpty() && from < read.size(); ++step) {
        const int missing = frame::missingBytes(m_carry);
        const int left = read.size() - from;
        const int take = missing > 0 && missing < left ? missing : left;
        m_carry.append(read.constData() + from, take);
        from += take;
        // Still short of its frame: a pass would only keep it all.
        if (missing <= take)
            queued += passOverCarry();
    }
    if (from < read.size()) {
        if (m_carry.isEmpty()) {
            queued += queue(read, from);
        } else {
            m_carry.append(read.constData() + from, read.size() - from);
            queued += passOverCarry();
        }
    }
    if (queued > 0)
        enforceBound();
    return queued;
}

int RecvQueue::passOverCarry()
{
    const QByteArray carry = m_carry;
    return queue(carry, 0);
}

// Parses `bytes` from `from` on, queues the messages found as slices of
// `bytes`, and leaves the bytes of an unfinished frame at its end in the carry
// buffer.
int RecvQueue::queue(const QByteArray &bytes, int from)
{
    Chunk chunk;
    chunk.room = frame::maxFrames(bytes.size() - from);
    // The spare fits a read of the same size; a carry buffer's one frame gets
    // slices of its own instead of taking the spare away from the next read.
    if (m_spareRoom >= chunk.room && m_spareRoom / 2 <= chunk.room) {
        chunk.slices = std::move(m_spare);
        chunk.room = m_spareRoom;
        m_spareRoom = 0;
    } else if (chunk.room > 0) {
        // Uninitialised: the pass writes every slice it counts.
        chunk.slices.reset(new frame::Slice[size_t(chunk.room)]);
    }
    frame::Found found{chunk.slices.get(), quint32(control::NodeList)};
    const int keepFrom = frame::scan(bytes.constData(), bytes.size(), found, from);
    const int queued = found.count;
    chunk.count = found.count;
    chunk.nodeLists = found.marked;

    if (queued > 0) {
        // Long frames leave most of the room a read of the shortest would need.
        if (queued < chunk.room / 4) {
            std::unique_ptr<frame::Slice[]> fitted(new frame::Slice[size_t(queued)]);
            std::copy_n(chunk.slices.get(), queued, fitted.get());
            keepSpare(std::move(chunk.slices), chunk.room);
            chunk.slices = std::move(fitted);
            chunk.room = queued;
        }
        chunk.bytes = bytes;
        chunk.live = queued;
        m_held += costOf(chunk);
        m_live += queued;
        m_chunks.push_back(std::move(chunk));
    } else {
        keepSpare(std::move(chunk.slices), chunk.room);
    }

    if (keepFrom == 0)
        m_carry = bytes;
    else if (keepFrom < bytes.size())
        m_carry = QByteArray(bytes.constData() + keepFrom, bytes.size() - keepFrom);
    else
        m_carry.clear();
    return queued;
}

RecvQueue::Batch RecvQueue::takeAll()
{
    Batch batch;
    batch.m_chunks.swap(m_chunks);
    m_held = 0;
    m_live = 0;
    m_overflowNoted = false;
    return batch;
}

int RecvQueue::takeFirst(char *buffer, quint32 capacity)
{
    if (m_chunks.empty())
        return -1;
    Chunk &chunk = m_chunks.front();
    while (chunk.slices[size_t(chunk.first)].length < 0)
        ++chunk.first;
    frame::Slice &slice = chunk.slices[size_t(chunk.first)];
    const int length = slice.length;
    if (quint32(length) > capacity || (!buffer && length > 0))
        return -1;
    if (length > 0)
        std::memcpy(buffer, chunk.bytes.constData() + slice.offset, size_t(length));
    slice.length = -1;
    ++chunk.first;
    --chunk.live;
    --m_live;
    if (chunk.live == 0)
        release(chunk);
    forgetTakenFront();
    m_overflowNoted = false;
    return length;
}

void RecvQueue::forgetTakenFront()
{
    auto live = m_chunks.begin();
    while (live != m_chunks.end() && live->live == 0)
        ++live;
    m_chunks.erase(m_chunks.begin(), live);
}

void RecvQueue::clear()
{
    m_chunks.clear();
    m_carry.clear();
    m_held = 0;
    m_live = 0;
    m_overflowNoted = false;
}

void RecvQueue::drop(Chunk &chunk, bool nodeListsToo, int keep)
{
    if (chunk.live == 0)
        return;
    if ((nodeListsToo || chunk.nodeLists == 0) && keep < 0) {
        m_live -= chunk.live;
        chunk.live = 0;
    }
    for (int i = chunk.first; i < chunk.count && chunk.live > 0; ++i) {
        frame::Slice &slice = chunk.slices[size_t(i)];
        if (slice.length < 0 || i == keep)
            continue;
        if (!nodeListsToo && isNodeList(chunk.bytes.constData() + slice.offset, slice.length))
            continue;
        slice.length = -1;
        --chunk.live;
        --m_live;
    }
    if (chunk.live == 0)
        release(chunk);
}

void RecvQueue::release(Chunk &chunk)
{
    m_held -= costOf(chunk);
    chunk.bytes = QByteArray();
    keepSpare(std::move(chunk.slices), chunk.room);
    chunk.count = 0;
    chunk.room = 0;
    chunk.first = 0;
}

void RecvQueue::keepSpare(std::unique_ptr<frame::Slice[]> slices, int room)
{
    if (room > m_spareRoom) {
        m_spare = std::move(slices);
        m_spareRoom = room;
    }
}

void RecvQueue::enforceBound()
{
    if (m_held <= kMaxHeldBytes)
        return;
    if (!m_overflowNoted) {
        qDebug("recv queue beyond %lld bytes: dropping its oldest messages", kMaxHeldBytes);
        m_overflowNoted = true;
    }
    // The window acts on node lists alone, so everything else goes first.
    for (Chunk &chunk : m_chunks) {
        if (m_held <= kMaxHeldBytes)
            break;
        drop(chunk, false, -1);
    }
    // Then every node list but the newest the window would show: a list it
    // would ignore must not push out the one it is waiting for.
    if (m_held > kMaxHeldBytes) {
        const auto [keepChunk, keepIndex] = newestShownNodeList();
        for (Chunk &chunk : m_chunks) {
            if (m_held <= kMaxHeldBytes)
                break;
            drop(chunk, true, &chunk == keepChunk ? keepIndex : -1);
        }
    }
    forgetTakenFront();
}

std::pair<const RecvQueue::Chunk *, int> RecvQueue::newestShownNodeList() const
{
    for (auto chunk = m_chunks.rbegin(); chunk != m_chunks.rend(); ++chunk) {
        for (int i = chunk->count - 1; i >= chunk->first; --i) {
            const frame::Slice &slice = chunk->slices[size_t(i)];
            if (slice.length >= 0 &&
                control::acceptedNodeList(chunk->bytes.constData() + slice.offset, slice.length)
                        .count > 0)
                return {&*chunk, i};
        }
    }
    return {nullptr, -1};
}

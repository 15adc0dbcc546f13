// What arrived on the control link and waits for the main window: the reads
// themselves, shared rather than copied, with where each whole message lies in
// them, and the carry buffer of a frame still split across reads.
#pragma once

#include "link/controlframe.h"

#include <QByteArray>
#include <memory>
#include <utility>
#include <vector>

class RecvQueue
{
public:
    // The link reads at most this much at a time, so a waiting message keeps at
    // most one read's worth of memory alive.
    static constexpr int kReadSize = 64 * 1024;
    // Eight reads' worth: at least four of the largest messages even when
    // each keeps a read of its own alive.
    static constexpr qint64 kMaxHeldBytes = 8 * kReadSize;

    // One read with the messages that still wait in it; a dropped or taken
    // message keeps its place with a negative length.
    struct Chunk
    {
        QByteArray bytes;
        std::unique_ptr<frame::Slice[]> slices;
        int count = 0;
        int room = 0;
        int first = 0; // no message waits before this slice
        int live = 0;
        // Among the messages, taken or not: a full queue drops a read without
        // node lists whole.
        int nodeLists = 0;
    };

    // Everything that waited, taken at once. The messages stay where they
    // arrived and live as long as the batch.
    class Batch
    {
    public:
        // visit(const char *message, int length) for every message, oldest first.
        template <typename Visit> void forEach(Visit visit) const
        {
            for (const Chunk &chunk : m_chunks) {
                for (int i = chunk.first; i < chunk.count; ++i) {
                    const frame::Slice &slice = chunk.slices[size_t(i)];
                    if (slice.length >= 0)
                        visit(chunk.bytes.constData() + slice.offset, slice.length);
                }
            }
        }

    private:
        friend class RecvQueue;
        std::vector<Chunk> m_chunks;
    };

    // Cuts one read into messages and queues them; returns how many it queued.
    int append(const QByteArray &read);
    Batch takeAll();
    // Copies the oldest message into `buffer` and takes it: its length, or -1
    // when none waits or it is longer than `capacity` (it then stays first).
    int takeFirst(char *buffer, quint32 capacity);
    // Empties the queue and the carry buffer.
    void clear();

    int size() const { return m_live; }
    qint64 heldBytes() const { return m_held; }
    const QByteArray &carry() const { return m_carry; }

private:
    int passOverCarry();
    int queue(const QByteArray &bytes, int from);
    // Drops the chunk's waiting messages but the one at `keep`: all of them, or
    // all but its node lists.
    void drop(Chunk &chunk, bool nodeListsToo, int keep);
    void release(Chunk &chunk);
    void keepSpare(std::unique_ptr<frame::Slice[]> slices, int room);
    void forgetTakenFront();
    void enforceBound();
    std::pair<const Chunk *, int> newestShownNodeList() const;

    std::vector<Chunk> m_chunks;
    QByteArray m_carry;
    // The slices of a released read, for the next: a flood would otherwise
    // allocate and free them once a read.
    std::unique_ptr<frame::Slice[]> m_spare;
    int m_spareRoom = 0;
    qint64 m_held = 0;
    int m_live = 0;
    bool m_overflowNoted = false;
};

// The frames that cut the control link's byte stream: 0xA5, a little-endian
// length, a kind byte, the payload, four zero bytes and 0xA4.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <functional>

namespace frame {

enum Kind : quint8
{
    DataFrame = 0,
    HeartbeatFrame = 1,
};

constexpr quint8 kStartByte = 0xA5;
constexpr quint8 kEndByte = 0xA4;
constexpr int kHeaderSize = 6;  // start, length, kind
constexpr int kTrailerSize = 5; // four zero bytes and the end byte
constexpr int kOverhead = kHeaderSize + kTrailerSize;
constexpr int kMaxFrameSize = 2048;
constexpr quint32 kMaxPayload = kMaxFrameSize - kOverhead; // 2037
// A length above this cannot belong to a message the receiver could take
// (20480 bytes and the kind byte), so it marks a corrupt frame, not a long one.
constexpr quint32 kMaxIncomingLength = 20480 + 1;
// What a parsing pass can leave in the carry buffer: all but the last byte of
// the largest frame it still waits for.
constexpr int kMaxCarrySize = int(kMaxIncomingLength) + kOverhead - 2; // 20490

// Writes the frame of `payload` into `out`, which holds at least n + 11 bytes;
// returns the frame's size.
quint32 buildFrame(Kind kind, const char *payload, quint32 n, char *out);
QByteArray buildFrame(Kind kind, const QByteArray &payload);

// Where the message of one whole DataFrame lies in the bytes a pass went over.
struct Slice
{
    int offset;
    int length;
};

// The most DataFrames `size` bytes can hold: room enough for what a pass over
// them finds.
constexpr int maxFrames(int size)
{
    return size / kOverhead;
}

// What one parsing pass found: the slice of every whole DataFrame's message,
// in stream order, in room for maxFrames(size) of them; and how many of those
// messages begin with `mark`, four bytes read little-endian, which lets a
// reader tell one kind of message apart without a second pass over them.
struct Found
{
    Slice *slices;
    quint32 mark;
    int count = 0;
    int marked = 0;
};

// One parsing pass over the `size` bytes at `data` from `from` on, with every
// slice's offset counted from `data`; heartbeats, unknown kinds and bytes that
// form no frame are consumed. Returns where the bytes that still wait for the
// rest of their frame begin, `size` when none do.
int scan(const char *data, int size, Found &found, int from = 0);

// How many more bytes the frame at the start of a carry buffer needs before a
// pass can judge it: the rest of its header, then the rest of the frame. 0 when
// the carry does not start with a frame a pass would wait for.
int missingBytes(const QByteArray &carry);

using Deliver = std::function<void(const char *message, quint32 length)>;

// One pass over the carry buffer with the new bytes already appended, for a
// reader that copies what it keeps: every whole DataFrame's payload goes to
// `deliver`; the carry buffer keeps only the bytes of an incomplete frame.
void parseFrames(QByteArray &carry, const Deliver &deliver);

} // namespace frame

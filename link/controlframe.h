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

using Deliver = std::function<void(const char *message, quint32 length)>;

// One parsing pass over the carry buffer with the new bytes already appended:
// every whole DataFrame's payload goes to `deliver` in stream order; heartbeats
// and unknown kinds are consumed; the carry buffer keeps only the bytes of an
// incomplete frame at its end.
void parseFrames(QByteArray &carry, const Deliver &deliver);

// Takes one read from the socket: appends it to the carry buffer and parses,
// delivering exactly what parseFrames over carry + read would, but without
// copying the read when the carry buffer only waits for the rest of one frame.
void feed(QByteArray &carry, const QByteArray &read, const Deliver &deliver);

} // namespace frame

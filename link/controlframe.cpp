#include "link/controlframe.h"

#include <QtEndian>
#include <cstring>
#include <vector>

namespace frame {

namespace {

// Offsets from the start byte.
constexpr int kLengthOffset = 1;
constexpr int kKindOffset = 5;
constexpr int kPayloadOffset = 6;
constexpr int kTrailerBytes = 4;

} // namespace

quint32 buildFrame(Kind kind, const char *payload, quint32 n, char *out)
{
    out[0] = char(kStartByte);
    qToLittleEndian<quint32>(n + 1, out + kLengthOffset);
    out[kKindOffset] = char(kind);
    // A null payload is allowed for n == 0, and memcpy may not even see it then.
    if (n > 0)
        std::memcpy(out + kPayloadOffset, payload, n);
    std::memset(out + kPayloadOffset + n, 0, kTrailerBytes);
    out[kPayloadOffset + n + kTrailerBytes] = char(kEndByte);
    return n + kOverhead;
}

QByteArray buildFrame(Kind kind, const QByteArray &payload)
{
    const quint32 n = quint32(payload.size());
    QByteArray out(int(n + kOverhead), Qt::Uninitialized);
    buildFrame(kind, payload.constData(), n, out.data());
    return out;
}

int missingBytes(const QByteArray &carry)
{
    if (carry.isEmpty() || uchar(carry.at(0)) != kStartByte)
        return 0;
    if (carry.size() < kHeaderSize)
        return kHeaderSize - carry.size();
    const quint32 length = qFromLittleEndian<quint32>(carry.constData() + kLengthOffset);
    if (length == 0 || length > kMaxIncomingLength)
        return 0;
    const int frameSize = int(length) + kOverhead - 1;
    return frameSize > carry.size() ? frameSize - carry.size() : 0;
}

int scan(const char *data, int size, Found &found, int from)
{
    const auto *b = reinterpret_cast<const uchar *>(data);
    Slice *next = found.slices + found.count;
    // Local, so the writes through `next` cannot make the compiler read it again.
    const quint32 mark = found.mark;
    int marked = 0;
    int i = from;
    auto finish = [&](int keepFrom) {
        found.count = int(next - found.slices);
        found.marked += marked;
        return keepFrom;
    };
    while (i < size) {
        if (b[i] != kStartByte) {
            // Nothing in the stream marks where the next frame begins except its
            // start byte, so everything before the next 0xA5 is lost for good.
            const void *start = std::memchr(b + i, kStartByte, size_t(size - i));
            if (!start)
                break;
            i = int(static_cast<const uchar *>(start) - b);
        }
        if (size - i < kHeaderSize)
            return finish(i);
        const quint32 length = qFromLittleEndian<quint32>(b + i + kLengthOffset);
        // A zero length leaves no room for the kind byte, and anything above the
        // largest message the receiver can take would only make us wait for
        // bytes that never form a usable frame; both are treated as a false
        // start byte, which also keeps the carry buffer bounded.
        if (length == 0 || length > kMaxIncomingLength) {
            ++i;
            continue;
        }
        // length <= kMaxIncomingLength, so this cannot overflow an int.
        const int end = i + int(length) + kHeaderSize - 1 + kTrailerBytes;
        if (end >= size)
            return finish(i);
        if (b[end] != kEndByte || qFromUnaligned<quint32>(b + end - kTrailerBytes) != 0) {
            ++i;
            continue;
        }
        const bool canMark = length - 1 >= sizeof(quint32);
        if (b[i + kKindOffset] == DataFrame) {
            *next++ = Slice{i + kPayloadOffset, int(length) - 1};
            marked += canMark && qFromLittleEndian<quint32>(b + i + kPayloadOffset) == mark;
        }
        i = end + 1;

        // A burst is mostly data frames of one length. While they keep it,
        // where the next one starts is known before its bytes are read, so the
        // checks of consecutive frames overlap instead of each waiting for the
        // length read before it. The checks are those above: start byte,
        // length and kind in one read, trailer and end byte in another.
        const int frameSize = int(length) + kOverhead - 1;
        const quint64 head = kStartByte | quint64(length) << 8 | quint64(DataFrame) << 40;
        const quint64 tail = quint64(kEndByte) << 32;
        // A slice kept as the one word it is in memory, moved on by one addition.
        constexpr int offsetShift = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 0 : 32;
        static_assert(sizeof(Slice) == sizeof(quint64), "offset, then length");
        quint64 slice = quint64(quint32(i + kPayloadOffset)) << offsetShift |
                        quint64(length - 1) << (32 - offsetShift);
        const quint64 step = quint64(frameSize) << offsetShift;
        // A message too short for the mark is followed by trailer zeros, so
        // its fourth byte is 0 and never matches a word whose top byte is not.
        const quint32 runMark = canMark ? mark : 0xFFFFFFFFu;
        if (size - i < frameSize)
            continue;
        const uchar *at = b + i;
        const uchar *const lastStart = b + (size - frameSize);
        while (at <= lastStart) {
            const quint64 h = qFromLittleEndian<quint64>(at);
            const quint64 t = qFromLittleEndian<quint64>(at + frameSize - 8);
            if ((h ^ head) << 16 != 0 || t >> 24 != tail)
                break;
            std::memcpy(next++, &slice, sizeof(slice));
            marked += qFromLittleEndian<quint32>(at + kPayloadOffset) == runMark;
            slice += step;
            at += frameSize;
        }
        i = int(at - b);
    }
    return finish(size);
}

void parseFrames(QByteArray &carry, const Deliver &deliver)
{
    std::vector<Slice> slices(size_t(maxFrames(carry.size())));
    Found found{slices.data(), 0};
    const int keepFrom = scan(carry.constData(), carry.size(), found);
    for (int k = 0; k < found.count; ++k)
        deliver(carry.constData() + slices[size_t(k)].offset, quint32(slices[size_t(k)].length));
    if (keepFrom >= carry.size())
        carry.clear();
    else if (keepFrom > 0)
        carry.remove(0, keepFrom);
}

} // namespace frame

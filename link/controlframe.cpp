#include "link/controlframe.h"

#include <QtEndian>
#include <cstring>

namespace frame {

namespace {

// Offsets from the start byte.
constexpr int kLengthOffset = 1;
constexpr int kKindOffset = 5;
constexpr int kPayloadOffset = 6;
constexpr int kTrailerBytes = 4;

// How many more bytes the frame at the start of the carry buffer needs before
// a pass can judge it: the rest of its header, then the rest of the frame.
// 0 when the carry does not start with a frame a pass would wait for.
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

void parseFrames(QByteArray &carry, const Deliver &deliver)
{
    const int n = carry.size();
    const auto *b = reinterpret_cast<const uchar *>(carry.constData());
    int i = 0;
    int keepFrom = n; // where the bytes waiting for the rest of their frame begin

    while (i < n) {
        if (b[i] != kStartByte) {
            // Nothing in the stream marks where the next frame begins except its
            // start byte, so everything before the next 0xA5 is lost for good.
            const void *next = std::memchr(b + i, kStartByte, size_t(n - i));
            if (!next)
                break;
            i = int(static_cast<const uchar *>(next) - b);
            continue;
        }
        if (n - i < kHeaderSize) {
            keepFrom = i;
            break;
        }
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
        if (end >= n) {
            keepFrom = i;
            break;
        }
        const uchar *trailer = b + end - kTrailerBytes;
        if (b[end] != kEndByte || trailer[0] || trailer[1] || trailer[2] || trailer[3]) {
            ++i;
            continue;
        }
        if (b[i + kKindOffset] == DataFrame)
            deliver(carry.constData() + i + kPayloadOffset, length - 1);
        i = end + 1;
    }

    if (keepFrom >= n) {
        carry.clear();
    } else if (keepFrom > 0) {
        // Copy only the tail: the carry buffer may share its data with the read
        // it was taken over from, and remove() would first copy all of it.
        carry = QByteArray(carry.constData() + keepFrom, n - keepFrom);
    }
}

void feed(QByteArray &carry, const QByteArray &read, const Deliver &deliver)
{
    // Passes compose: parsing a read in two pieces delivers what parsing it
    // whole does. So the frame the carry buffer waits for is completed with
    // only the bytes it lacks, and the rest of the read is parsed where it lies
    // instead of being copied behind the carry buffer. That takes at most two
    // steps: the rest of a split header, then the rest of the frame.
    int from = 0;
    for (int step = 0; step < 2 && !carry.isEmpty() && from < read.size(); ++step) {
        const int missing = missingBytes(carry);
        const int left = read.size() - from;
        const int take = missing > 0 && missing < left ? missing : left;
        carry.append(read.constData() + from, take);
        from += take;
        parseFrames(carry, deliver);
    }
    if (from == read.size())
        return;
    if (!carry.isEmpty()) {
        carry.append(read.constData() + from, read.size() - from);
        parseFrames(carry, deliver);
        return;
    }
    if (from == 0) {
        carry = read;
        parseFrames(carry, deliver);
        return;
    }
    const char *rest = read.constData() + from;
    carry = QByteArray::fromRawData(rest, read.size() - from);
    parseFrames(carry, deliver);
    // A pass that keeps everything leaves the carry buffer as it was: a view
    // into `read`, which the caller is about to drop.
    if (carry.constData() == rest)
        carry = QByteArray(rest, carry.size());
}

} // namespace frame

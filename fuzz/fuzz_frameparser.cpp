// The frame parser against any byte stream, cut into reads at points taken
// from the input and fed as the link server feeds its socket's reads. Checked
// on every input:
//  - the messages delivered are exactly those of a plain reference parser run
//    over the whole stream: only whole DataFrames, in stream order, each once,
//    wherever the reads were cut;
//  - after every pass the carry buffer holds at most frame::kMaxCarrySize
//    bytes (20490: all but the last byte of the largest frame still waited
//    for), and at the end exactly the reference's unfinished tail;
//  - no message is larger than the 20480 bytes a receiver can take.
#include "link/controlframe.h"

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome
{
    std::vector<std::string> messages;
    std::string carry;
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_frameparser: %s\n", what);
    std::abort();
}

// Walks the stream byte by byte, as slowly and plainly as possible.
Outcome reference(const uint8_t *d, size_t n)
{
    Outcome out;
    size_t i = 0;
    while (i < n) {
        if (d[i] != 0xA5) {
            ++i;
            continue;
        }
        if (n - i < 6) {
            out.carry.assign(reinterpret_cast<const char *>(d + i), n - i);
            break;
        }
        const uint32_t length = uint32_t(d[i + 1]) | uint32_t(d[i + 2]) << 8 |
                                uint32_t(d[i + 3]) << 16 | uint32_t(d[i + 4]) << 24;
        if (length == 0 || length > 20481) {
            ++i;
            continue;
        }
        const uint64_t end = uint64_t(i) + length + 9;
        if (end >= n) {
            out.carry.assign(reinterpret_cast<const char *>(d + i), n - i);
            break;
        }
        const size_t trailer = i + length + 5;
        if (d[end] != 0xA4 || d[trailer] || d[trailer + 1] || d[trailer + 2] || d[trailer + 3]) {
            ++i;
            continue;
        }
        if (d[i + 5] == 0)
            out.messages.emplace_back(reinterpret_cast<const char *>(d + i + 6), length - 1);
        i = size_t(end) + 1;
    }
    return out;
}

// Read sizes from a small generator seeded by the input, mixing single bytes,
// header-sized pieces and large reads.
struct Cuts
{
    uint32_t state;
    size_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        switch (state & 3) {
        case 0:
            return 1;
        case 1:
            return 1 + (state >> 8) % 16;
        case 2:
            return 1 + (state >> 8) % 2048;
        default:
            return 1 + (state >> 8) % 65536;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte only chooses the cuts and, with its top bit, repeats the
    // rest until it is longer than the carry bound, which short inputs could
    // never reach on their own.
    Cuts cuts{(uint32_t(data[0]) + 1) * 2654435761u ^ uint32_t(size)};
    std::vector<uint8_t> repeated;
    const uint8_t *stream = data + 1;
    size_t n = size - 1;
    if ((data[0] & 0x80) && n > 0) {
        while (repeated.size() <= size_t(frame::kMaxCarrySize) + 1)
            repeated.insert(repeated.end(), stream, stream + n);
        stream = repeated.data();
        n = repeated.size();
    }

    const Outcome expected = reference(stream, n);

    std::vector<std::string> delivered;
    const frame::Deliver deliver = [&](const char *message, quint32 length) {
        if (length > 20480)
            fail("message larger than a receiver can take");
        delivered.emplace_back(message, length);
    };
    QByteArray carry;
    for (size_t at = 0; at < n;) {
        const size_t take = std::min(cuts.next(), n - at);
        const QByteArray read(reinterpret_cast<const char *>(stream + at), int(take));
        frame::feed(carry, read, deliver);
        if (carry.size() > frame::kMaxCarrySize)
            fail("carry buffer beyond its bound");
        at += take;
    }

    if (delivered != expected.messages)
        fail("delivered messages differ from the reference");
    if (std::string(carry.constData(), size_t(carry.size())) != expected.carry)
        fail("carry buffer differs from the reference");
    return 0;
}

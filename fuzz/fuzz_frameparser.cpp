// The frame parser against any byte stream, cut into reads at points taken
// from the input and fed to the receive queue as the link server feeds its
// socket's reads, with everything taken now and then as the main tick does. Checked on every input:
//  - the messages taken are exactly those of a plain reference parser run
//    over the whole stream: only whole DataFrames, in stream order, each once,
//    wherever the reads were cut;
//  - after every read the carry buffer holds at most frame::kMaxCarrySize
//    bytes (20490: all but the last byte of the largest frame still waited
//    for), and at the end exactly the reference's unfinished tail;
//  - no message is larger than the 20480 bytes a receiver can take.
#include "link/controlframe.h"
#include "link/recvqueue.h"

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Where the reference found things in the stream; nothing is copied, so a run
// costs a few allocations and millions of runs fit in a minute.
struct Span
{
    size_t offset;
    size_t length;
};

struct Outcome
{
    std::vector<Span> messages;
    size_t carryFrom;
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_frameparser: %s\n", what);
    std::abort();
}

// Walks the stream byte by byte, as slowly and plainly as possible. Left out of
// the coverage the fuzzer steers by: only the parser's own branches should
// count, and the reference's comparisons would cost a callback each.
__attribute__((no_sanitize("coverage"))) Outcome reference(const uint8_t *d, size_t n)
{
    Outcome out{{}, n};
    size_t i = 0;
    while (i < n) {
        if (d[i] != 0xA5) {
            ++i;
            continue;
        }
        if (n - i < 6) {
            out.carryFrom = i;
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
            out.carryFrom = i;
            break;
        }
        const size_t trailer = i + length + 5;
        if (d[end] != 0xA4 || d[trailer] || d[trailer + 1] || d[trailer + 2] || d[trailer + 3]) {
            ++i;
            continue;
        }
        if (d[i + 5] == 0)
            out.messages.push_back({i + 6, length - 1});
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
    // The first byte only chooses the cuts.
    Cuts cuts{(uint32_t(data[0]) + 1) * 2654435761u ^ uint32_t(size)};
    const uint8_t *stream = data + 1;
    const size_t n = size - 1;

    const Outcome expected = reference(stream, n);

    size_t delivered = 0;
    const auto check = [&](const char *message, int length) {
        if (length > 20480)
            fail("message larger than a receiver can take");
        if (delivered == expected.messages.size())
            fail("more messages than the reference");
        const Span &span = expected.messages[delivered++];
        if (size_t(length) != span.length ||
            std::memcmp(message, stream + span.offset, span.length))
            fail("delivered messages differ from the reference");
    };
    RecvQueue queue;
    for (size_t at = 0; at < n;) {
        const size_t take = std::min(cuts.next(), n - at);
        queue.append(QByteArray(reinterpret_cast<const char *>(stream + at), int(take)));
        if (queue.carry().size() > frame::kMaxCarrySize)
            fail("carry buffer beyond its bound");
        at += take;
        // The main tick takes everything now and then; in between, messages
        // wait in the queue across reads.
        if (cuts.state & 0x100 || at == n)
            queue.takeAll().forEach(check);
    }

    if (delivered != expected.messages.size())
        fail("fewer messages than the reference");
    const QByteArray &carry = queue.carry();
    if (size_t(carry.size()) != n - expected.carryFrom ||
        std::memcmp(carry.constData(), stream + expected.carryFrom, size_t(carry.size())))
        fail("carry buffer differs from the reference");
    return 0;
}

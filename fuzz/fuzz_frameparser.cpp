// The frame parser against any byte stream, cut into reads at points taken
// from the input and fed to the receive queue as the link server feeds its
// socket's reads, with everything taken now and then as the main tick does.
// Checked on every input:
//  - the messages taken are exactly those of a plain reference parser run
//    over the whole stream: only whole DataFrames, in stream order, each once,
//    wherever the reads were cut (so none is larger than the 20480 bytes a
//    receiver can take);
//  - after every read the carry buffer holds at most 20490 bytes (all but the
//    last byte of the largest frame still waited for), and at the end exactly
//    the reference's unfinished tail.
#include "fuzz/fuzz.h"
#include "link/controlframe.h"
#include "link/recvqueue.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Messages as where they lie in the stream (offset, length): nothing is copied, so
// a run costs a few allocations and millions of runs fit in a minute.
using Spans = std::vector<std::pair<size_t, size_t>>;

// Walks the stream byte by byte, as slowly and plainly as possible, and returns
// where the unfinished tail begins. Left out of the coverage the fuzzer steers
// by: only the parser's own branches should count, and the reference's
// comparisons would cost a callback each.
__attribute__((no_sanitize("coverage"))) size_t reference(const uint8_t *d, size_t n, Spans &found)
{
    for (size_t i = 0; i < n; ++i) {
        if (d[i] != 0xA5)
            continue;
        if (n - i < 6)
            return i;
        const uint32_t length =
            d[i + 1] | d[i + 2] << 8 | d[i + 3] << 16 | uint32_t(d[i + 4]) << 24;
        if (length == 0 || length > 20481)
            continue;
        const size_t end = i + length + 9; // where the end byte belongs
        if (end >= n)
            return i;
        if (d[end] != 0xA4 || (d[end - 4] | d[end - 3] | d[end - 2] | d[end - 1]))
            continue;
        if (d[i + 5] == 0)
            found.push_back({i + 6, length - 1});
        i = end;
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte only seeds the cuts of the reads: single bytes, header-sized
    // pieces and large reads.
    uint32_t cuts = (uint32_t(data[0]) + 1) * 2654435761u ^ uint32_t(size);
    const uint32_t spans[] = {1, 16, 2048, 65536};
    const uint8_t *stream = data + 1;
    const size_t n = size - 1;
    // Kept from run to run, emptied: growing it anew was a tenth of a run.
    static Spans expected;
    expected.clear();
    const size_t carryFrom = reference(stream, n, expected);

    size_t delivered = 0;
    const auto check = [&](const char *message, int length) {
        require(delivered < expected.size(), "more messages than the reference");
        const auto [offset, wanted] = expected[delivered++];
        require(size_t(length) == wanted && !std::memcmp(message, stream + offset, wanted),
                "delivered messages differ from the reference");
    };
    RecvQueue queue;
    for (size_t at = 0; at < n;) {
        cuts = cuts * 1664525u + 1013904223u;
        const size_t take = std::min<size_t>(1 + (cuts >> 8) % spans[cuts >> 30], n - at);
        queue.append(
            QByteArray::fromRawData(reinterpret_cast<const char *>(stream + at), int(take)));
        require(queue.carry().size() <= 20490, "carry buffer beyond its bound");
        at += take;
        // The main tick takes everything now and then; in between, messages
        // wait in the queue across reads.
        if (cuts & 0x100000 || at == n)
            queue.takeAll().forEach(check);
    }
    require(delivered == expected.size(), "fewer messages than the reference");
    const QByteArray &carry = queue.carry();
    require(size_t(carry.size()) == n - carryFrom &&
                !std::memcmp(carry.constData(), stream + carryFrom, size_t(carry.size())),
            "carry buffer differs from the reference");
    return 0;
}

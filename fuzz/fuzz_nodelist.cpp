// A received message as the window reads a NodeList from it, and its bytes as
// a text field's. Checked on every input:
//  - the records taken are exactly those a plain reading of the layout finds:
//    command 3, status 1, a count above 0, then min(count, whole records
//    present) records of 63 bytes behind the 11-byte head, none read beyond
//    the message (it lies in a buffer of exactly its size);
//  - a 30-byte field reads as the UTF-8 before its first zero, never beyond the
//    field, and a text fitted into a field keeps its zero inside, is a prefix
//    of the text, and cuts no character of valid UTF-8.
#include "fuzz/fuzz.h"
#include "link/controlmessages.h"

#include <QtEndian>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int n = int(size);
    // libFuzzer hands the input over in a buffer of exactly its size.
    const char *const message = reinterpret_cast<const char *>(data);

    int expected = 0;
    if (n >= 11 && qFromLittleEndian<qint32>(data) == 3 && data[8] == 1)
        expected = std::min<int>(qFromLittleEndian<quint16>(data + 9), (n - 11) / 63);
    const control::NodeRecords list = control::acceptedNodeList(message, n);
    require(list.count == expected, "records taken differ from the layout's");
    require(list.count == 0 || reinterpret_cast<const char *>(list.data) == message + 11,
            "records do not begin behind the head");
    QVector<NodeRecord> copied;
    require(control::readNodeList(message, n, &copied) == (expected > 0) &&
                copied.size() == expected &&
                !std::memcmp(copied.constData(), data + 11, size_t(expected) * 63),
            "records copied differ from the message's");

    // Each field in a buffer of exactly its size, so a read beyond it shows.
    for (size_t at = 0; at + 30 <= size; at += 30) {
        const std::unique_ptr<char[]> field(new char[30]);
        std::memcpy(field.get(), data + at, 30);
        const auto &exact = *reinterpret_cast<const char(*)[30]>(field.get());
        const size_t end = std::find(data + at, data + at + 30, 0) - (data + at);
        require(control::fieldText(exact) ==
                    QString::fromUtf8(reinterpret_cast<const char *>(data + at), int(end)),
                "a field's text is not its UTF-8 before the first zero");
    }

    const QByteArray text = fuzz::bytes(data, size);
    const QByteArray fitted = control::fitField(text);
    require(fitted.size() <= 29 && text.startsWith(fitted), "a fitted text is not a short prefix");
    const bool valid = QString::fromUtf8(text).toUtf8() == text;
    if (valid && fitted.size() < text.size()) {
        require(QString::fromUtf8(fitted).toUtf8() == fitted, "a fitted text cuts a character");
        // The character after the cut would not have fitted.
        const QString whole = QString::fromUtf8(text);
        const QString kept = QString::fromUtf8(fitted);
        const int next = whole.at(kept.size()).isHighSurrogate() ? 2 : 1;
        require(fitted.size() + whole.mid(kept.size(), next).toUtf8().size() > 29,
                "a fitted text is shorter than the field allows");
    }
    return 0;
}

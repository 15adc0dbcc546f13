// The journal of the user's settings as a file: damaged, cut short, written by
// another version. Checked on every input:
//  - a journal read is written and read back as the same entries, and that
//    writing is a fixed point: what greenlark writes it reads back byte for
//    byte, so nothing of the user's changes on the way through;
//  - a journal refused is left as it was, with a reason, and no entries.
#include "fuzz/fuzz.h"
#include "userproxy/proxyjournal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    const QString path = fuzz::scratchFile(input);
    proxyjournal::Entries entries;
    QString why;
    if (!proxyjournal::read(path, &entries, &why)) {
        require(entries.isEmpty() && !why.isEmpty() && fuzz::contents(path) == input,
                "a refused journal was changed, or has entries or no reason");
        return 0;
    }
    // The one state of a first version's journal goes back under a store's
    // name, as the owner of the settings writes it.
    if (entries.contains(QString()))
        entries.insert(QStringLiteral("Internet Options"), entries.take(QString()));
    require(proxyjournal::write(path, entries, &why), "an accepted journal cannot be written");
    const QByteArray written = fuzz::contents(path);
    proxyjournal::Entries again;
    require(proxyjournal::read(path, &again, &why) && again == entries,
            "a written journal reads back otherwise");
    require(proxyjournal::write(path, again, &why) && fuzz::contents(path) == written,
            "a written journal is written otherwise the second time");
    return 0;
}

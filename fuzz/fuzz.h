// What the fuzz targets share: a check that stops the run at the first
// property that fails, the input cut into the values a parser reads, and a
// scratch folder in memory for the parsers that read files.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The parsers say on the debug output what they refuse: millions of lines.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

namespace fuzz {

inline void require(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// A file of its own for each call, in memory where the system has a place for
// it: the parsers sync what they write, and Qt caches what it read by name.
// The call before's goes, with the lock a store may have left beside it.
inline QString scratchFile(const QByteArray &contents)
{
    static const QTemporaryDir folder((QDir(QStringLiteral("/dev/shm")).exists()
                                           ? QStringLiteral("/dev/shm")
                                           : QDir::tempPath()) +
                                      QStringLiteral("/greenlark-fuzz-XXXXXX"));
    static unsigned serial = 0;
    QFile::remove(folder.filePath(QString::number(serial)));
    QFile::remove(folder.filePath(QString::number(serial) + QStringLiteral(".lock")));
    const QString path = folder.filePath(QString::number(++serial));
    QFile file(path);
    require(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size(),
            "cannot write a scratch file");
    return path;
}

inline QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace fuzz

// What every target checks its properties with.
using fuzz::require;

// greenlark's own INI files ("proxysetting.ini", the stand-in's options) as Qt
// reads them, checked before Qt does: a user may edit them by hand, and a
// damaged one must read as unusable, never end the program.
#pragma once

#include <QByteArray>

namespace platform {

// Far beyond anything greenlark writes there; larger is not one of its files.
constexpr qint64 kMaxPlainIniSize = 1024 * 1024;

// Whether Qt's INI reader can take `contents` safely: no larger than the bound
// above, and no value Qt would decode through QDataStream ("@Variant(...)",
// "@DateTime(...)", however escaped or quoted). QDataStream trusts the counts
// it reads, so a few bytes there can ask for gigabytes or recurse without end;
// greenlark writes only numbers and strings, which Qt never writes that way.
bool isPlainIni(const QByteArray &contents);

} // namespace platform

// Starting greenlark when the user logs in: an XDG autostart entry on Linux,
// the current user's Run key on Windows. Both name the running binary by its
// absolute path.
#pragma once

#include <QString>

namespace platform {

// What is really there now, whoever put it there.
bool isStartedAtLogin();

// False, with `why` saying what failed, when the entry could not be written or
// removed; then nothing changed.
bool setStartedAtLogin(bool on, QString *why);

// A program's path as the Exec value of a desktop entry: what a desktop's
// launcher, reading it by the desktop-entry rules, starts as that path.
QString desktopExecValue(const QString &program);

} // namespace platform

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

} // namespace platform

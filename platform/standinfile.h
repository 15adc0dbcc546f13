// The stand-in's store of WinINet's per-connection options: a file, kept the
// way Windows keeps them in the user's registry, so that they outlive the
// process and another program can read what was set and restored.
#pragma once

#include "platform/proxystore.h"

#ifndef Q_OS_WIN

namespace platform::standin {

// One bit per option id, 1 to 5: a WinINet write may carry a few of the five.
constexpr unsigned kAllOptions = 0x3E;

// $GREENLARK_INTERNET_SETTINGS, else the user's configuration folder.
QString path();
// *knowsFlagsUi: whether the stand-in plays a WinINet that answers
// INTERNET_PER_CONN_FLAGS_UI (Windows 7 and later), as it does unless the file's
// System/FlagsUi is false (older Internet Explorers, Wine).
bool read(ProxyOptions *options, bool *knowsFlagsUi = nullptr);
// Stores the options `present` names; false leaves the file as it was.
bool write(const ProxyOptions &options, unsigned present);
// Counts INTERNET_OPTION_SETTINGS_CHANGED or INTERNET_OPTION_REFRESH.
bool notify(DWORD option);

} // namespace platform::standin

#endif // Q_OS_WIN

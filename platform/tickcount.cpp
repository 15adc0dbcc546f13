// The millisecond tick counter. Windows serves GetTickCount itself; the stand-in
// derives it from the monotonic clock and lets tests move it.

#include "platform/win32.h"

#ifndef Q_OS_WIN

#include <atomic>
#include <chrono>

namespace {

// Negative while no fixed value is set; any DWORD fits in the rest of the range.
std::atomic<qint64> g_fixedTickCount{-1};

} // namespace

DWORD GetTickCount()
{
    const qint64 fixed = g_fixedTickCount.load();
    if (fixed >= 0)
        return static_cast<DWORD>(fixed);
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    const qint64 ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count();
    // The cast keeps the low 32 bits: the counter wraps to 0 after about 49.7
    // days, as on Windows.
    return static_cast<DWORD>(ms);
}

namespace platform {

void setFixedTickCount(std::optional<DWORD> value)
{
    g_fixedTickCount.store(value ? static_cast<qint64>(*value) : -1);
}

} // namespace platform

#endif // Q_OS_WIN

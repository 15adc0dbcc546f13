// The millisecond tick counter. Windows serves GetTickCount itself; the stand-in
// derives it from the monotonic clock and lets tests move it.

#include "platform/win32.h"

#ifndef Q_OS_WIN

#include <atomic>
#include <chrono>

namespace {

std::atomic<qint64> g_offsetMs{0};
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
    // Unsigned sums wrap where a signed one would overflow, and the cast keeps the
    // low 32 bits: the counter wraps to 0 after about 49.7 days, as on Windows.
    return static_cast<DWORD>(static_cast<quint64>(ms) + static_cast<quint64>(g_offsetMs.load()));
}

namespace platform {

void setTickCountOffset(qint64 offsetMs)
{
    g_offsetMs.store(offsetMs);
}

void setFixedTickCount(std::optional<DWORD> value)
{
    g_fixedTickCount.store(value ? static_cast<qint64>(*value) : -1);
}

} // namespace platform

#endif // Q_OS_WIN

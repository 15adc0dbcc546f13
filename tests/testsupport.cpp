#include "testsupport.h"

#include "platform/win32.h"

namespace {

QStringList g_recorded;

void record(const QString &name)
{
    g_recorded.append(name);
}

// From before main on, a test binary only ever records: even a test that
// forgets the recorder cannot end a real process.
const bool g_installed = [] {
    platform::setProcessEnder(record);
    return true;
}();

} // namespace

ProcessEndRecorder::ProcessEndRecorder()
{
    Q_UNUSED(g_installed);
    g_recorded.clear();
    platform::setProcessEnder(record);
}

ProcessEndRecorder::~ProcessEndRecorder()
{
    platform::setProcessEnder(record);
}

QStringList ProcessEndRecorder::names() const
{
    return g_recorded;
}

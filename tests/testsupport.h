// Shared helpers of the tests.
#pragma once

#include <QStringList>

// Replaces the ending of processes with a recorder for its lifetime, so no test
// ever ends a real process.
class ProcessEndRecorder
{
public:
    ProcessEndRecorder();
    ~ProcessEndRecorder();
    QStringList names() const;

private:
    Q_DISABLE_COPY(ProcessEndRecorder)
};

// Where the single-instance guard listens: a name of the user's own, so that
// two users of one machine each have their own copy and their own hand-over.
#pragma once

#include <QString>

namespace platform {

// On Linux a socket in the user's runtime folder, else in a folder of the
// user's own (mode 0700) under the temporary one; on Windows a pipe whose name
// holds the user's security identifier. Empty when no such place can be had.
QString userGuardName(const QString &name);

} // namespace platform

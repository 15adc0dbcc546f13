// Where the single-instance guard listens: a name of the user's own, so that
// two users of one machine each have their own copy and their own hand-over.
#pragma once

#include <QString>

namespace platform {

// On Linux a socket in the user's runtime folder, else in a folder of the
// user's own under the temporary one; either must be the user's and closed
// (mode 0700). On Windows a pipe whose name holds the user's security
// identifier. Empty when no such place can be had.
QString userGuardName(const QString &name);

// The lock file the copy that listens on `serverName` holds for its life, and
// every start while it connects, so that of two starts at once the second
// finds the first: a listen alone would replace a live guard's socket.
QString userGuardLock(const QString &serverName);

} // namespace platform

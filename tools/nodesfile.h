// The nodes the demo service offers: read from a text file a person can edit,
// or taken from the built-in sample.
//
// One node per line: `tag id country info`, separated by blanks. `tag` is 0 to
// 255, `id` 0 to 65535, `country` one word, `info` the rest of the line (may be
// empty). '#' starts a comment; blank lines are skipped. The file is UTF-8.
#pragma once

#include "link/controlmessages.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

namespace nodesfile {

struct ParseResult
{
    QVector<NodeRecord> nodes;
    QStringList errors;   // "line 7: ..."; any error makes the file unusable
    QStringList warnings; // texts that were shortened to fit their field
    bool ok() const { return errors.isEmpty(); }
};

ParseResult parseNodes(const QByteArray &contents);
ParseResult readNodesFile(const QString &path);

// The text of the built-in sample, in the file format: a starting point for a
// file of one's own.
QByteArray sampleNodesText();
QVector<NodeRecord> sampleNodes();

} // namespace nodesfile

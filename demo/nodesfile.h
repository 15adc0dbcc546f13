// The nodes the demo service offers: read from a text file a person can edit,
// or taken from the built-in sample.
//
// One node per line: `tag id country info`, separated by blanks. `tag` is 0 to
// 255, `id` 0 to 65535, `country` one word, `info` the rest of the line (may be
// empty). '#' starts a comment; blank lines are skipped. The file is UTF-8.
// A '*' before the tag gives the node a server of its own when the demo runs
// the proxy core.
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
    QVector<int> served;  // indexes into `nodes` of the lines marked '*'
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

// The nodes that get a server: the marked ones, or the first few when none is
// marked. A handful of cores is plenty to try nodes with; one for each of 30
// nodes would cost the machine more than the demo is worth.
QVector<NodeRecord> servedNodes(const ParseResult &parsed);

} // namespace nodesfile

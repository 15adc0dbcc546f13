#include "nodesfile.h"

#include <QFile>
#include <QHash>

namespace nodesfile {

namespace {

// Far more than 324 lines of nodes and comments need; keeps a wrong --nodes
// argument (a disk image, a log) from being read into memory whole.
constexpr qint64 kMaxFileSize = 1024 * 1024;

constexpr int kDefaultServedNodes = 4;

const QByteArray kUtf8Bom("\xEF\xBB\xBF");

bool isValidUtf8(const QByteArray &bytes)
{
    // Decoding replaces every malformed sequence, so only valid UTF-8 survives
    // the round trip unchanged.
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// A '#' that starts a word starts a comment, so "node#2" stays a name.
QString withoutComment(const QString &line)
{
    for (int i = 0; i < line.size(); ++i) {
        if (line.at(i) == QLatin1Char('#') && (i == 0 || line.at(i - 1).isSpace()))
            return line.left(i);
    }
    return line;
}

// Splits off the first `count` blank-separated words; the rest of the line,
// trimmed, goes to `rest`.
QStringList leadingWords(const QString &line, int count, QString *rest)
{
    QStringList words;
    int pos = 0;
    while (words.size() < count) {
        while (pos < line.size() && line.at(pos).isSpace())
            ++pos;
        if (pos == line.size())
            break;
        const int start = pos;
        while (pos < line.size() && !line.at(pos).isSpace())
            ++pos;
        words.append(line.mid(start, pos - start));
    }
    *rest = line.mid(pos).trimmed();
    return words;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QByteArray fittedText(const QString &text, const char *what, int lineNumber, QStringList *warnings)
{
    const QByteArray utf8 = text.toUtf8();
    const QByteArray fitted = control::fitField(utf8);
    if (fitted.size() != utf8.size()) {
        warnings->append(QStringLiteral("line %1: %2 shortened to %3 bytes: %4")
                             .arg(lineNumber)
                             .arg(QLatin1String(what))
                             .arg(fitted.size())
                             .arg(quoted(QString::fromUtf8(fitted))));
    }
    return fitted;
}

} // namespace

ParseResult parseNodes(const QByteArray &contents)
{
    ParseResult result;
    QHash<quint32, int> lineOfKey; // tag and id together name a node to the service
    bool reportedTooMany = false;

    const QList<QByteArray> lines = contents.split('\n');
    for (int index = 0; index < lines.size(); ++index) {
        const int lineNumber = index + 1;
        QByteArray raw = lines.at(index);
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (index == 0 && raw.startsWith(kUtf8Bom))
            raw.remove(0, kUtf8Bom.size());

        auto fail = [&](const QString &what) {
            result.errors.append(QStringLiteral("line %1: %2").arg(lineNumber).arg(what));
        };

        if (!isValidUtf8(raw)) {
            fail(QStringLiteral("not valid UTF-8"));
            continue;
        }
        const QString line = withoutComment(QString::fromUtf8(raw)).trimmed();
        if (line.isEmpty())
            continue;
        // A zero would end the text early in its zero-terminated field.
        if (line.contains(QChar(0))) {
            fail(QStringLiteral("contains a zero character"));
            continue;
        }

        const bool served = line.startsWith(QLatin1Char('*'));
        QString info;
        const QStringList words = leadingWords(served ? line.mid(1) : line, 3, &info);
        if (words.size() < 3) {
            fail(QStringLiteral("expected \"tag id country [info]\", found %1").arg(quoted(line)));
            continue;
        }
        bool tagOk = false;
        bool idOk = false;
        const uint tag = words.at(0).toUInt(&tagOk, 10);
        const uint id = words.at(1).toUInt(&idOk, 10);
        if (!tagOk || tag > 0xFF) {
            fail(QStringLiteral("tag %1 is not a number from 0 to 255").arg(quoted(words.at(0))));
            continue;
        }
        if (!idOk || id > 0xFFFF) {
            fail(QStringLiteral("id %1 is not a number from 0 to 65535").arg(quoted(words.at(1))));
            continue;
        }

        const quint32 key = (tag << 16) | id;
        const auto earlier = lineOfKey.constFind(key);
        if (earlier != lineOfKey.constEnd()) {
            fail(QStringLiteral("tag %1 id %2 is already used on line %3")
                     .arg(tag)
                     .arg(id)
                     .arg(earlier.value()));
            continue;
        }
        lineOfKey.insert(key, lineNumber);

        if (result.nodes.size() >= control::kMaxNodeRecords) {
            // A longer list would not fit the front-end's receive buffer and
            // would block its link for good.
            if (!reportedTooMany) {
                fail(QStringLiteral("more than %1 nodes; one node list carries at most %1")
                         .arg(control::kMaxNodeRecords));
                reportedTooMany = true;
            }
            continue;
        }

        const QByteArray country = fittedText(words.at(2), "country", lineNumber, &result.warnings);
        const QByteArray infoText = fittedText(info, "info", lineNumber, &result.warnings);
        if (served)
            result.served.append(result.nodes.size());
        result.nodes.append(control::makeNodeRecord(static_cast<quint8>(tag),
                                                    static_cast<quint16>(id), infoText, country));
    }

    // The front-end ignores a list of no records, so it would ask forever.
    if (result.nodes.isEmpty() && result.errors.isEmpty())
        result.errors.append(
            QStringLiteral("no nodes: the file holds only comments or blank lines"));
    return result;
}

ParseResult readNodesFile(const QString &path)
{
    ParseResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.errors.append(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return result;
    }
    if (file.size() > kMaxFileSize) {
        result.errors.append(QStringLiteral("%1 is larger than %2 bytes; not a nodes file")
                                 .arg(path)
                                 .arg(kMaxFileSize));
        return result;
    }
    return parseNodes(file.read(kMaxFileSize + 1));
}

QByteArray sampleNodesText()
{
    // Ids above 255 on purpose: a peer that swaps the two id bytes shows up at
    // once in the SelectNode it sends back.
    return QByteArrayLiteral(
        "# Demo nodes: tag id country info\n"
        "# tag 0-255 and id 0-65535 name the node; country is shown in the table;\n"
        "# country and info keep at most 29 bytes of UTF-8.\n"
        "# '*' before the tag: the node gets a server when the demo runs the proxy core.\n"
        "\n"
        "# Asia\n"
        "* 1 1001 日本 tokyo-01 ws+tls\n"
        "1 1002 日本 tokyo-02 ws+tls\n"
        "1 1003 日本 osaka-01 grpc\n"
        "* 1 1004 香港 hkg-01 ws+tls\n"
        "1 1005 香港 hkg-02 tcp\n"
        "1 1006 新加坡 sin-01 ws+tls\n"
        "1 1007 新加坡 sin-02 grpc\n"
        "1 1008 韩国 seoul-01 tcp\n"
        "1 1009 印度 mumbai-01 ws+tls\n"
        "1 1010 泰国 bangkok-01 tcp\n"
        "1 1011 马来西亚 kuala-lumpur-01 tcp\n"
        "1 1012 印度尼西亚 jakarta-01 ws\n"
        "\n"
        "# Americas\n"
        "* 2 2001 美国 los-angeles-01 ws+tls\n"
        "2 2002 美国 san-jose-01 grpc\n"
        "2 2003 美国 new-york-01 tcp\n"
        "2 2004 加拿大 toronto-01 ws+tls\n"
        "2 2005 巴西 sao-paulo-01 tcp\n"
        "2 2006 墨西哥 mexico-city-01 ws\n"
        "\n"
        "# Europe\n"
        "* 3 3001 德国 frankfurt-01 ws+tls\n"
        "3 3002 德国 berlin-01 tcp\n"
        "3 3003 英国 london-01 ws+tls\n"
        "3 3004 法国 paris-01 grpc\n"
        "3 3005 荷兰 amsterdam-01 tcp\n"
        "3 3006 瑞士 zurich-01 ws+tls\n"
        "3 3007 瑞典 stockholm-01 tcp\n"
        "3 3008 西班牙 madrid-01 ws\n"
        "\n"
        "# Elsewhere\n"
        "4 4001 澳大利亚 sydney-01 ws+tls\n"
        "4 4002 新西兰 auckland-01 tcp\n"
        "4 4003 阿联酋 dubai-01 ws+tls\n"
        "4 4004 南非 johannesburg-01 tcp\n");
}

QVector<NodeRecord> sampleNodes()
{
    return parseNodes(sampleNodesText()).nodes;
}

QVector<NodeRecord> servedNodes(const ParseResult &parsed)
{
    if (parsed.served.isEmpty())
        return parsed.nodes.mid(0, kDefaultServedNodes);
    QVector<NodeRecord> nodes;
    for (int index : parsed.served)
        nodes.append(parsed.nodes.at(index));
    return nodes;
}

} // namespace nodesfile

// The stand-in tick counter: a 32-bit millisecond count that tests can move to
// any point, including across the wrap-around at 2^32.

#include "platform/win32.h"

#include <QtTest>

// Two reads in a row never lie further apart than this, even on a loaded machine.
constexpr DWORD kSlackMs = 5000;

class tst_TickCount : public QObject
{
    Q_OBJECT

private slots:
    void movedAcrossTheWrap_data()
    {
        QTest::addColumn<qint64>("to"); // where the counter is moved, modulo 2^32
        QTest::addColumn<bool>("fixed");

        const qint64 wrap = qint64(1) << 32;
        QTest::newRow("back past zero") << qint64(-1000) << false;
        QTest::newRow("many wraps ahead") << 1000 * wrap + 7 << false;
        QTest::newRow("fixed at zero") << qint64(0) << true;
        QTest::newRow("fixed at the last before the wrap") << wrap - 1 << true;
    }

    void movedAcrossTheWrap()
    {
        QFETCH(qint64, to);
        QFETCH(bool, fixed);

        // A fixed count wins over the offset, which then points half a wrap away.
        const qint64 away = fixed ? qint64(1) << 31 : 0;
        platform::setTickCountOffset(0);
        platform::setTickCountOffset(to + away - GetTickCount());
        if (fixed)
            platform::setFixedTickCount(DWORD(to));
        // Reads are compared modulo 2^32, as callers of the real counter compare
        // them, so the checks hold across the wrap.
        const DWORD first = GetTickCount();
        QVERIFY2(DWORD(first - DWORD(to)) < kSlackMs, qPrintable(QString::number(first)));
        QVERIFY2(DWORD(GetTickCount() - first) < (fixed ? 1 : kSlackMs), "never runs backwards");
        // Released, the counter follows the offset again.
        platform::setFixedTickCount(std::nullopt);
        QVERIFY(DWORD(GetTickCount() - DWORD(to + away)) < kSlackMs);
    }
};

QTEST_GUILESS_MAIN(tst_TickCount)
#include "tst_tickcount.moc"

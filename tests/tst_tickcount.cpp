// The stand-in tick counter: a 32-bit millisecond count that tests can move to
// any point, including across the wrap-around at 2^32.

#include "platform/win32.h"

#include <QtTest>

namespace {

// Two reads in a row never lie further apart than this, even on a loaded machine.
constexpr DWORD kSlackMs = 5000;

constexpr qint64 kWrap = qint64(1) << 32;

} // namespace

class tst_TickCount : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void followsOffset_data();
    void followsOffset();
    void fixedValue_data();
    void fixedValue();
};

void tst_TickCount::cleanup()
{
    platform::setTickCountOffset(0);
    platform::setFixedTickCount(std::nullopt);
}

void tst_TickCount::followsOffset_data()
{
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<bool>("fromNow"); // the offset is relative to the current count

    QTest::newRow("a minute ahead") << qint64(60000) << false;
    QTest::newRow("many wraps ahead") << 1000 * kWrap + 7 << false;
    QTest::newRow("back past zero") << qint64(-1000) << true;
}

void tst_TickCount::followsOffset()
{
    QFETCH(qint64, offset);
    QFETCH(bool, fromNow);

    const DWORD base = GetTickCount();
    if (fromNow)
        offset -= base; // "-1000 from now" lands 1000 ms before 0, i.e. near 2^32
    platform::setTickCountOffset(offset);
    const DWORD first = GetTickCount();
    const DWORD second = GetTickCount();

    // Differences of DWORDs are taken modulo 2^32, as callers of the real
    // counter take them, so they hold across the wrap.
    const DWORD expected = static_cast<DWORD>(base + static_cast<quint64>(offset));
    QVERIFY2(DWORD(first - expected) < kSlackMs,
             qPrintable(QStringLiteral("got %1, expected about %2").arg(first).arg(expected)));
    QVERIFY2(DWORD(second - first) < kSlackMs, "the counter never runs backwards");
}

void tst_TickCount::fixedValue_data()
{
    QTest::addColumn<DWORD>("value");

    QTest::newRow("zero") << DWORD(0);
    QTest::newRow("last before the wrap") << DWORD(0xFFFFFFFF);
}

void tst_TickCount::fixedValue()
{
    QFETCH(DWORD, value);

    // A fixed value wins over the offset and does not move.
    platform::setTickCountOffset(123456);
    platform::setFixedTickCount(value);
    QCOMPARE(GetTickCount(), value);
    QCOMPARE(GetTickCount(), value);

    // Released, the counter follows the offset again.
    platform::setFixedTickCount(std::nullopt);
    const DWORD before = GetTickCount();
    platform::setTickCountOffset(123456 + 1000000);
    QVERIFY(DWORD(GetTickCount() - before - 1000000) < kSlackMs);
}

QTEST_GUILESS_MAIN(tst_TickCount)
#include "tst_tickcount.moc"

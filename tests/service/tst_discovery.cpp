// What a scan keeps of its answers: the name announced, names merged, the bound on new
// names and nameless answers, the user's own devices always kept.

#include "service/scanbudget.h"
#include "zeroconf/zeroconf.h"

#include <QtTest>

namespace
{

// An answer whose second record points at `label`; "-" for one of a single record.
Zeroconf::Reply answer(const QByteArray& label)
{
    Zeroconf::Reply reply;
    reply.records.resize(label == "-" ? 1 : 2);
    reply.records[0].name = "_nanoleafapi";
    if (label != "-")
        reply.records.back().name = label.toStdString();
    return reply;
}

QList<QByteArray> numbered(const char* prefix, int count)
{
    QList<QByteArray> labels;
    for (int n = 1; n <= count; ++n)
        labels << (*prefix == '-' ? QByteArray("-") : prefix + QByteArray::number(n));
    return labels;
}

} // namespace

class tst_Discovery : public QObject
{
    Q_OBJECT

private slots:
    // The label up to a zero byte, UTF-8; nothing for an answer of one record.
    void announcedName_data()
    {
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<QString>("name");
        QTest::newRow("cut at zero") << QByteArray("Canvas\0tail", 11) << "Canvas";
        QTest::newRow("UTF-8") << QByteArray("Caf\xc3\xa9") << QString::fromUtf8("Caf\xc3\xa9");
        QTest::newRow("one record") << QByteArray("-") << QString();
    }

    void announcedName()
    {
        QFETCH(QByteArray, label);
        QTEST(::announcedName(answer(label)), "name");
    }

    // Labels in arrival order ("-": an answer naming nothing), the user's devices;
    // which answers are kept, how many were dropped and merged.
    void budget_data()
    {
        QTest::addColumn<QList<QByteArray>>("labels");
        QTest::addColumn<QStringList>("own");
        QTest::addColumn<QList<QByteArray>>("kept");
        QTest::addColumn<int>("dropped");
        QTest::addColumn<int>("merged");
        const QList<QByteArray> flood = numbered("Fake ", 70);
        QTest::newRow("repeats merged")
            << QList<QByteArray> { "A", "B", "A", QByteArray("A\0x", 3) } << QStringList()
            << QList<QByteArray> { "A", "B" } << 0 << 2;
        QTest::newRow("64 new names") << flood << QStringList() << flood.mid(0, 64) << 6 << 0;
        QTest::newRow("own devices after a flood")
            << flood + QList<QByteArray> { "Mine", "Mine", "Other" } << QStringList { "Mine" }
            << flood.mid(0, 64) + QList<QByteArray> { "Mine" } << 7 << 1;
        QTest::newRow("64 nameless")
            << numbered("-", 70) << QStringList() << numbered("-", 64) << 6 << 0;
    }

    void budget()
    {
        QFETCH(QList<QByteArray>, labels);
        QFETCH(QStringList, own);
        ScanBudget budget(QSet<QString>(own.cbegin(), own.cend()));
        QList<QByteArray> kept;
        for (const QByteArray& label : labels)
            if (budget.keep(answer(label)))
                kept << label;
        QTEST(kept, "kept");
        QTEST(budget.dropped(), "dropped");
        QTEST(budget.merged(), "merged");
    }
};

QTEST_GUILESS_MAIN(tst_Discovery)
#include "tst_discovery.moc"

// Pair / unpair rounds of one device against the simulator, driven through the
// window's own slots with a stored token, so every round is a layout request, an
// external-control request and a static-effect request. Each request makes a
// network access manager and a reply on the service thread; whatever of them is
// not released shows up as live network objects, descriptors or threads. The
// bounds are counts, so they hold whatever the allocator or the machine.

#include "app/zelnanoleaftool.h"
#include "common/logwatch.h"
#include "common/modalcloser.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"
#include "soak/procstatus.h"
#include "views/pair_view.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardItemModel>
#include <QtTest>

using namespace Sim;

namespace
{

const QString kControlAnswer = QStringLiteral("ResponseExternalControl string is");
const QString kStaticAnswer = QStringLiteral("ResponseStatic string is");

constexpr int kWarmUpRounds = 100;
constexpr int kRounds = 1000;
// Descriptors and threads may lag a little behind the last answer (a connection
// being torn down); a leak would be one or more per round, hundreds in all.
constexpr int kDescriptorSlack = 4;
constexpr int kThreadSlack = 2;

QString statusOfFirstRow(const ZelNanoleafTool& window)
{
    const QStandardItem* item = window.pairView->model->item(0, 2);
    return item ? item->text() : QString();
}

// Managers and replies the service still holds, counted on its own thread.
int liveNetworkObjects(nanoleafAPIsync* service)
{
    int live = -1;
    QMetaObject::invokeMethod(
        service,
        [&] {
            live = service->findChildren<QNetworkAccessManager*>().size()
                + service->findChildren<QNetworkReply*>().size();
        },
        Qt::BlockingQueuedConnection);
    return live;
}

} // namespace

class tst_PairSoak : public QObject
{
    Q_OBJECT

    QTemporaryDir config;

    // One round: pair (layout answer, then external control) and unpair (static
    // effect). n counts rounds from 1. A round that fell back to a pairing
    // request would bring up the hint (pairing mode is off), counted below.
    static QString round(ZelNanoleafTool& window, LogWatch& log, int n)
    {
        window.slot_Pair(0, kLight, kLightIp);
        if (!log.waitFor(kControlAnswer, n, 20000))
            return "no external-control answer";
        if (statusOfFirstRow(window) != "Paired")
            return "not shown as paired";
        window.slot_UnPair(0, kLight, kLightIp);
        if (!log.waitFor(kStaticAnswer, n, 20000))
            return "no static-effect answer";
        return statusOfFirstRow(window) == "Unpaired" ? QString() : "not shown as unpaired";
    }

private slots:
    void initTestCase()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        QVERIFY(config.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
    }

    void pairUnpairRounds()
    {
        QJsonObject light = NanoleafSim::lightPanels();
        light.insert("tokens", QJsonArray { kToken });
        NanoleafSim sim(QJsonArray { light });
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(TokenProfile::write(kLight, kToken));

        LogWatch log({ kControlAnswer, kStaticAnswer });
        ModalCloser hints;
        ZelNanoleafTool window;
        window.bonjourGetIpName(kLight, kLightIp);

        int descriptorsBefore = 0;
        int threadsBefore = 0;
        for (int n = 1; n <= kRounds; ++n) {
            const QString failure = round(window, log, n);
            if (!failure.isEmpty())
                qWarning().noquote() << log.recent().join('\n');
            QVERIFY2(failure.isEmpty(), qPrintable(QString("round %1: %2").arg(n).arg(failure)));
            if (n == kWarmUpRounds) {
                QTRY_COMPARE_WITH_TIMEOUT(liveNetworkObjects(window.service), 0, 10000);
                descriptorsBefore = ProcStatus::openDescriptors();
                threadsBefore = ProcStatus::threads();
                QVERIFY(descriptorsBefore > 0 && threadsBefore > 0);
            }
        }
        QCOMPARE(log.count(kControlAnswer), kRounds);
        QCOMPARE(log.count(kStaticAnswer), kRounds);
        QCOMPARE(hints.count(), 0);
        QCOMPARE(sim.mode(kLightIp), QString("static"));

        QTRY_COMPARE_WITH_TIMEOUT(liveNetworkObjects(window.service), 0, 10000);
        QTRY_VERIFY2_WITH_TIMEOUT(
            ProcStatus::openDescriptors() <= descriptorsBefore + kDescriptorSlack,
            qPrintable(QString("descriptors %1 -> %2: %3")
                           .arg(descriptorsBefore)
                           .arg(ProcStatus::openDescriptors())
                           .arg(ProcStatus::descriptorTargets().join(", "))),
            10000);
        QTRY_VERIFY2_WITH_TIMEOUT(ProcStatus::threads() <= threadsBefore + kThreadSlack,
            qPrintable(QString("threads %1 -> %2").arg(threadsBefore).arg(ProcStatus::threads())),
            10000);
    }
};

QTEST_MAIN(tst_PairSoak)
#include "tst_pairsoak.moc"

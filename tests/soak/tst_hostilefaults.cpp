// The whole tool, in process, against misbehaving devices: every HTTP fault of the
// simulator during pairing and during the layout request, and every kind of bad
// DNS answer during a search. The window must keep handling input while requests
// or the scan are pending, show the pairing hint exactly where the pairing flow
// calls for it, list the devices that answered properly, and pair normally once
// the device behaves again.

#include "app/zelnanoleaftool.h"
#include "common/logwatch.h"
#include "common/modalcloser.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"
#include "views/connect_view.h"
#include "views/pair_view.h"

#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QtTest>

namespace
{

const QString kLight = QStringLiteral("Light Panels 52:33:A1");
const QString kLightIp = QStringLiteral("127.0.0.2");
const QString kCanvas = QStringLiteral("Canvas 1F:2B:3C");
const QString kCanvasIp = QStringLiteral("127.0.0.3");
// Devices that give bad DNS answers, one fault each.
const QStringList kBadIps = { "127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7", "127.0.0.8" };
const QString kToken = QStringLiteral("00112233445566778899aabbccddeeff");

const QString kHintTitle = QStringLiteral("warning");
const QString kHintText = QStringLiteral(
    "Hold on/off button of your nanoleaf device for 5-7 seconds until the led starts flashing in "
    "a pattern , click  Pair button again within 30 seconds");

const QString kControlAnswer = QStringLiteral("ResponseExternalControl string is");
const QString kUnreadableLayout = QStringLiteral("getPanelNumber layout unreadable");
const QString kScanStart = QStringLiteral("searchDeive_noBonjour");
const QString kScanEnd = QStringLiteral("END");

// A slow device answers this late: long enough to act while the request is
// pending, short enough for three slow requests in a row.
constexpr int kSlowMs = 3000;
// Generous bounds for a flow to finish (two 5 s request time-outs at most).
constexpr int kFlowWaitMs = 40000;

QString badName(int i)
{
    return QStringLiteral("Light Panels BA:D0:0%1").arg(i);
}

// Method and path of every request, stored tokens replaced by <token>.
QStringList shapes(const QJsonArray& requests)
{
    QStringList out;
    for (const QJsonValue& value : requests) {
        const QJsonObject r = value.toObject();
        QString line = r.value("method").toString() + " " + r.value("path").toString();
        line.replace(QRegularExpression("/api/v1/[0-9A-Za-z]{32}/"), "/api/v1/<token>/");
        out << line;
    }
    return out;
}

// 0 while the simulator still holds the request unanswered.
int statusOf(const QJsonArray& requests, int index)
{
    return requests.at(index).toObject().value("status").toInt(-2);
}

int rowOf(const ZelNanoleafTool& window, const QString& name)
{
    const QStandardItemModel* model = window.pairView->model;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QStandardItem* item = model->item(row, 0);
        if (item && item->text() == name)
            return row;
    }
    return -1;
}

QString statusOf(const ZelNanoleafTool& window, const QString& name)
{
    const int row = rowOf(window, name);
    const QStandardItem* item = row < 0 ? nullptr : window.pairView->model->item(row, 2);
    return item ? item->text() : QString();
}

QStringList listedNames(const ZelNanoleafTool& window)
{
    QStringList names;
    const QStandardItemModel* model = window.pairView->model;
    for (int row = 0; row < model->rowCount(); ++row)
        if (const QStandardItem* item = model->item(row, 0))
            names << item->text();
    names.sort();
    return names;
}

// A user's click on a cell of the device table.
void clickRow(ZelNanoleafTool& window, int row)
{
    QTableView* table = window.pairView->tableView;
    const QRect cell = table->visualRect(window.pairView->model->index(row, 0));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

// Processes what both threads have queued so far: answers already delivered on
// the service thread, then the signals they sent to the GUI thread.
void settle(ZelNanoleafTool& window)
{
    QMetaObject::invokeMethod(
        window.service, [] {}, Qt::BlockingQueuedConnection);
    QCoreApplication::processEvents();
}

} // namespace

class tst_HostileFaults : public QObject
{
    Q_OBJECT

    QTemporaryDir config;
    std::unique_ptr<NanoleafSim> sim;
    std::unique_ptr<LogWatch> log;
    std::unique_ptr<ModalCloser> hints;

    void verifyHints(int expected)
    {
        QCOMPARE(hints->count(), expected);
        for (const ModalCloser::Seen& seen : hints->seen()) {
            QVERIFY(seen.messageBox);
            QCOMPARE(seen.title, kHintTitle);
            QCOMPARE(seen.text, kHintText);
            QVERIFY(seen.warning);
            QVERIFY(seen.okIsDefault);
        }
    }

    // Clicks source button k and checks the window took it (sync device type k + 1).
    static void clickSource(ZelNanoleafTool& window, int k)
    {
        QTest::mouseClick(window.connectView->syncButtons[k], Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.syncDeviceType, k + 1, 10000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        QVERIFY(config.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());

        QJsonObject light = NanoleafSim::lightPanels(kLightIp);
        light.insert("tokens", QJsonArray { kToken });
        QJsonArray devices { light, NanoleafSim::canvas(kCanvasIp) };
        for (int i = 0; i < kBadIps.size(); ++i)
            devices.append(NanoleafSim::lightPanels(kBadIps[i], { 11, 12 }, badName(i)));
        for (int i = 0; i < devices.size(); ++i) {
            QJsonObject device = devices.at(i).toObject();
            device.insert("pairing_mode", true);
            devices.replace(i, device);
        }
        sim = std::make_unique<NanoleafSim>(devices);
        QVERIFY2(sim->start(), qPrintable(sim->errorString()));
        log = std::make_unique<LogWatch>(
            QStringList { kControlAnswer, kUnreadableLayout, kScanStart, kScanEnd });
    }

    void init()
    {
        QVERIFY(sim->reset());
        QDir(TokenProfile::directory()).removeRecursively();
        hints = std::make_unique<ModalCloser>();
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << log->recent().join('\n');
        hints.reset();
    }

    void cleanupTestCase()
    {
        sim.reset();
        log.reset();
    }

    void httpFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("storedToken");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<int>("hintCount");
        QTest::addColumn<bool>("paired");
        // The request stays pending long enough to act on the window meanwhile.
        QTest::addColumn<bool>("pending");

        const QString pairing = "POST /api/v1/new";
        const QString layout = "GET /api/v1/<token>/";
        const QString control = "PUT /api/v1/<token>/effects";

        // No stored token: PAIR starts with the pairing request. Any answer
        // without a token string brings up the hint.
        QTest::newRow("pairing: hang")
            << "hang" << false << QStringList { pairing } << 1 << false << true;
        QTest::newRow("pairing: slow")
            << "slow" << false << QStringList { pairing, layout, control } << 0 << true << true;
        QTest::newRow("pairing: non-JSON")
            << "nonjson" << false << QStringList { pairing } << 1 << false << false;
        QTest::newRow("pairing: 10 MB")
            << "huge" << false << QStringList { pairing } << 1 << false << false;
        // A token that is not a string is a refused pairing.
        QTest::newRow("pairing: wrong types")
            << "wrongtypes" << false << QStringList { pairing } << 1 << false << false;

        // Stored token: PAIR starts with the layout request. An empty answer (time-out,
        // answer too large) means a refused token: hint, then a new pairing request,
        // which fails the same way: second hint.
        QTest::newRow("layout: hang")
            << "hang" << true << QStringList { layout, pairing } << 2 << false << true;
        QTest::newRow("layout: slow")
            << "slow" << true << QStringList { layout, control } << 0 << true << true;
        // A description that is not JSON, or whose members have the wrong types, is
        // a failed layout read: the device stays unpaired and is not switched.
        QTest::newRow("layout: non-JSON")
            << "nonjson" << true << QStringList { layout } << 0 << false << false;
        QTest::newRow("layout: 10 MB")
            << "huge" << true << QStringList { layout, pairing } << 2 << false << false;
        QTest::newRow("layout: wrong types")
            << "wrongtypes" << true << QStringList { layout } << 0 << false << false;
    }

    void httpFaults()
    {
        QFETCH(QString, fault);
        QFETCH(bool, storedToken);
        QFETCH(QStringList, requests);
        QFETCH(int, hintCount);
        QFETCH(bool, paired);
        QFETCH(bool, pending);

        if (storedToken)
            QVERIFY(TokenProfile::write(kLight, kToken));
        QVERIFY(
            sim->setFault(kLightIp, QJsonObject { { "http", fault }, { "delay_ms", kSlowMs } }));

        ZelNanoleafTool window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // As a search would have listed it.
        window.bonjourGetIpName(kLight, kLightIp);
        QCOMPARE(statusOf(window, kLight), QString("Unpaired"));

        const int controlAnswers = log->count(kControlAnswer);
        const int unreadable = log->count(kUnreadableLayout);
        QTest::mouseClick(window.pairButton, Qt::LeftButton);
        if (pending) {
            QTRY_VERIFY_WITH_TIMEOUT(sim->requests(kLightIp).size() >= 1, 10000);
            QCOMPARE(statusOf(sim->requests(kLightIp), 0), 0);
            // The device holds the request; the window still takes a click, and
            // takes it before the request's outcome (a hint, or the next
            // request) has come about.
            clickSource(window, 2);
            QCOMPARE(statusOf(sim->requests(kLightIp), 0), 0);
            QCOMPARE(sim->requests(kLightIp).size(), 1);
            QCOMPARE(hints->count(), 0);
        }

        QTRY_COMPARE_WITH_TIMEOUT(shapes(sim->requests(kLightIp)), requests, kFlowWaitMs);
        if (hintCount > 0)
            QTRY_COMPARE_WITH_TIMEOUT(hints->count(), hintCount, kFlowWaitMs);
        if (requests.last().startsWith("PUT"))
            QVERIFY(log->waitFor(kControlAnswer, controlAnswers + 1, kFlowWaitMs));
        if (hintCount == 0 && !paired) // an unreadable layout: nothing follows its log line
            QVERIFY(log->waitFor(kUnreadableLayout, unreadable + 1, kFlowWaitMs));
        settle(window);
        // Nothing more went out, and the window still takes input.
        QCOMPARE(shapes(sim->requests(kLightIp)), requests);
        verifyHints(hintCount);
        QCOMPARE(statusOf(window, kLight), QString(paired ? "Paired" : "Unpaired"));
        clickSource(window, 3);

        if (paired)
            return;
        // Once the device behaves, PAIR on its row pairs it.
        QVERIFY(sim->setFault(kLightIp, QJsonObject { { "http", "none" } }));
        const int row = rowOf(window, kLight);
        QVERIFY(row >= 0);
        clickRow(window, row);
        QCOMPARE(window.pairView->selectedRow, row);
        QTest::mouseClick(window.pairButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(window, kLight), QString("Paired"), kFlowWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(
            sim->device(kLightIp).value("mode").toString(), QString("extControl-v2"), kFlowWaitMs);
        verifyHints(hintCount);
    }

    void badDnsAnswers_data()
    {
        QTest::addColumn<QStringList>("faults"); // one per bad device, in kBadIps order
        QTest::addColumn<QStringList>("listed");

        const QStringList good { kCanvas, kLight };
        const QString silent = "silent";
        QStringList all = good;
        for (int i = 0; i < kBadIps.size(); ++i)
            all << badName(i);
        all.sort();
        QTest::newRow("no fault") << QStringList { "none", "none", "none", "none", "none" } << all;
        QTest::newRow("oversized")
            << QStringList { "oversized", silent, silent, silent, silent } << good;
        QTest::newRow("truncated")
            << QStringList { "truncated", silent, silent, silent, silent } << good;
        QTest::newRow("not authoritative")
            << QStringList { "badflags", silent, silent, silent, silent } << good;
        QTest::newRow("pointer loop")
            << QStringList { "loop", silent, silent, silent, silent } << good;
        QTest::newRow("silent") << QStringList { silent, silent, silent, silent, silent } << good;
        QTest::newRow("every fault at once")
            << QStringList { "oversized", "truncated", "badflags", "loop", silent } << good;
    }

    void badDnsAnswers()
    {
        QFETCH(QStringList, faults);
        QFETCH(QStringList, listed);
        for (int i = 0; i < kBadIps.size(); ++i)
            QVERIFY(sim->setFault(kBadIps[i], QJsonObject { { "mdns", faults[i] } }));

        ZelNanoleafTool window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const int started = log->count(kScanStart);
        const int ended = log->count(kScanEnd);
        QTest::mouseClick(window.searchButton, Qt::LeftButton);
        QVERIFY(log->waitFor(kScanStart, started + 1, 10000));
        // The scan listens for its full time on the service thread; the window
        // takes a click meanwhile.
        clickSource(window, 1);
        QCOMPARE(log->count(kScanEnd), ended);

        QVERIFY(log->waitFor(kScanEnd, ended + 1, kFlowWaitMs));
        settle(window);
        QCOMPARE(listedNames(window), listed);
        for (const QString& name : listed)
            QCOMPARE(statusOf(window, name), QString("Unpaired"));
        QCOMPARE(hints->count(), 0);
        clickSource(window, 0);
    }
};

QTEST_MAIN(tst_HostileFaults)
#include "tst_hostilefaults.moc"

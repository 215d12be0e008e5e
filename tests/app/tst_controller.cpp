// The main window and its controller: the window shell, and SEARCH, a click on a
// row, PAIR and UNPAIR against simulated devices in a private network, as a person
// would use them. The requests behind each flow are tested in tst_openapi; here
// what the window adds (rows, statuses, the hint, the acted-on row).

#include "app/zelnanoleaftool.h"
#include "common/modalcloser.h"
#include "common/nanoleafsim.h"
#include "common/privatenetwork.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"
#include "service/tokenprofile.h"
#include "views/connect_view.h"
#include "views/pair_view.h"

#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QtTest>

using namespace Sim;

namespace
{

QStringList row(const ZelNanoleafTool& window, int r)
{
    QStringList texts;
    for (int c = 0; c < 3; ++c) {
        const QStandardItem* item = window.pairView->model->item(r, c);
        texts << (item ? item->text() : QString());
    }
    return texts;
}

void clickRow(ZelNanoleafTool& window, int r)
{
    QTableView* table = window.pairView->tableView;
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
        table->visualRect(window.pairView->model->index(r, 0)).center());
}

void sendMouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, at, target->mapToGlobal(at),
        type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

} // namespace

class tst_Controller : public QObject
{
    Q_OBJECT

    QTemporaryDir config;

    void showAndSearch(ZelNanoleafTool& window)
    {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(window.searchButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.pairView->model->rowCount(), 2, 15000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
    }

    void init() { QDir(TokenProfile::directory()).removeRecursively(); }

    // The test programs run from a folder without Image/: the window must still
    // come up whole, its service on a thread of its own, stopped when it goes.
    void windowAndServiceThread()
    {
        QVERIFY(!QFileInfo::exists(QCoreApplication::applicationDirPath() + "/Image"));
        auto* window = new ZelNanoleafTool;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(!window->grab().isNull());
        QPointer<QThread> thread(window->serviceThread());
        QVERIFY(thread->isRunning());
        QCOMPARE(window->service->thread(), thread.data());
        QVERIFY(thread != QThread::currentThread());
        // The close button only hides; the application is not told its last
        // window closed.
        QSignalSpy lastClosed(qApp, SIGNAL(lastWindowClosed()));
        QTest::mouseClick(window->closeButton, Qt::LeftButton);
        QVERIFY(window->isHidden());
        QCOMPARE(lastClosed.count(), 0);
        QVERIFY(thread->isRunning());
        delete window;
        QVERIFY(thread.isNull());
    }

    // A press in the top 45 pixels drags the window until the release.
    void drag_data()
    {
        QTest::addColumn<int>("pressY");
        QTest::addColumn<bool>("moves");
        QTest::newRow("y 0") << 0 << true;
        QTest::newRow("y 44") << 44 << true;
        QTest::newRow("y 45") << 45 << false;
        QTest::newRow("y 300") << 300 << false;
    }

    void drag()
    {
        QFETCH(int, pressY);
        QFETCH(bool, moves);
        ZelNanoleafTool window;
        window.move(100, 100);
        const QPoint start = window.pos();
        sendMouse(&window, QEvent::MouseButtonPress, QPoint(200, pressY), Qt::LeftButton);
        sendMouse(&window, QEvent::MouseMove, QPoint(230, pressY + 20), Qt::LeftButton);
        QCOMPARE(window.pos(), moves ? start + QPoint(30, 20) : start);
        sendMouse(&window, QEvent::MouseButtonRelease, QPoint(230, pressY + 20), Qt::NoButton);
        const QPoint released = window.pos();
        sendMouse(&window, QEvent::MouseMove, QPoint(260, 50), Qt::LeftButton);
        QCOMPARE(window.pos(), released);
    }

    void searchListsEveryAnsweringDevice()
    {
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ZelNanoleafTool window;
        showAndSearch(window);
        QCOMPARE(row(window, 0), (QStringList { kCanvas, kCanvasIp, "Unpaired" }));
        QCOMPARE(row(window, 1), (QStringList { kLight, kLightIp, "Unpaired" }));
        QVERIFY(window.pairView->loadingLabel->isHidden());
        QCOMPARE(deviceMap.count(), 2);
    }

    void searchWithNoDeviceShowsOnlyHeaders()
    {
        ZelNanoleafTool window;
        window.setLoadingInterval(300);
        QTest::mouseClick(window.searchButton, Qt::LeftButton);
        QVERIFY(!window.pairView->loadingLabel->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(window.pairView->loadingLabel->isHidden(), 5000);
        QCOMPARE(window.pairView->model->rowCount(), 0);
        QCOMPARE(window.pairView->model->columnCount(), 3);
    }

    // PAIR on the clicked row, UNPAIR (the row says so at once, the token stays),
    // PAIR again with the stored token.
    void pairUnpairAndPairAgain()
    {
        NanoleafSim sim(NanoleafSim::inPairingMode());
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ZelNanoleafTool window;
        showAndSearch(window);
        QSignalSpy pair(window.pairView, SIGNAL(signal_Pair(int, QString, QString)));
        clickRow(window, 1);
        QTest::mouseClick(window.pairButton, Qt::LeftButton);
        QCOMPARE(pair.count(), 1);
        QCOMPARE(pair.first(), (QVariantList { 1, kLight, kLightIp }));
        QTRY_COMPARE_WITH_TIMEOUT(row(window, 1).at(2), QString("Paired"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(sim.mode(kLightIp), QString("extControl-v2"), 10000);
        const QString token = TokenProfile::read(kLight);
        QCOMPARE(token.size(), 32);

        QTest::mouseClick(window.unpairButton, Qt::LeftButton);
        QCOMPARE(row(window, 1).at(2), QString("Unpaired"));
        QTRY_COMPARE_WITH_TIMEOUT(sim.mode(kLightIp), QString("static"), 10000);
        QCOMPARE(TokenProfile::read(kLight), token);

        QTest::mouseClick(window.pairButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(row(window, 1).at(2), QString("Paired"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(sim.requestLines(kLightIp).mid(4),
            (QStringList { "GET /api/v1/<token>/", "PUT /api/v1/<token>/effects" }), 10000);
        QCOMPARE(row(window, 0).at(2), QString("Unpaired"));
    }

    // A refused pairing shows the hint; while the device holds the request the
    // window still takes clicks.
    void refusedPairingShowsHint()
    {
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setFault(kLightIp, QJsonObject { { "http", "slow" }, { "delay_ms", 1000 } }));
        ZelNanoleafTool window;
        showAndSearch(window);
        ModalCloser closer;
        window.pairView->selectedRow = 1;
        window.pairView->slot_PairPressed();
        QTRY_COMPARE_WITH_TIMEOUT(sim.requests(kLightIp).size(), 1, 10000);
        QTest::mouseClick(window.connectView->syncButtons[2], Qt::LeftButton);
        QCOMPARE(window.syncDeviceType, 3);
        QCOMPARE(sim.requests(kLightIp).at(0)["status"].toInt(-1), 0); // still held
        QCOMPARE(closer.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(closer.count(), 1, 15000);
        QCOMPARE(closer.seen().first().title, QString("warning"));
        QCOMPARE(row(window, 1).at(2), QString("Unpaired"));
        QVERIFY(!TokenProfile::exists());
    }

    // UNPAIR of a row shown paired whose token is not stored asks the device for
    // one and changes nothing.
    void unpairWithoutStoredTokenAsksForOne()
    {
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        ZelNanoleafTool window;
        showAndSearch(window);
        deviceMap.update(kLight, [](DeviceRecord& r) { r.isPaired = true; });
        window.refreshIsPaired();
        const DeviceRecord before = deviceMap.value(kLight);
        ModalCloser closer;
        window.pairView->selectedRow = 1;
        window.pairView->slot_UnPairPressed();
        QTRY_COMPARE_WITH_TIMEOUT(
            sim.requestLines(kLightIp), QStringList { "POST /api/v1/new" }, 10000);
        QCOMPARE(deviceMap.value(kLight), before);
        QCOMPARE(row(window, 1).at(2), QString("Paired"));
    }

    // A source button or the host's switch sets the mirrored source.
    void sourceFromButtonOrHost()
    {
        ZelNanoleafTool window;
        QCOMPARE(window.syncDeviceType, 1);
        QTest::mouseClick(window.connectView->syncButtons[1], Qt::LeftButton);
        QCOMPARE(window.syncDeviceType, 2);
        for (std::uint64_t type : { 4, 9 }) {
            const HostIntake::Message sync { 33024, type, 0, 0, nullptr };
            QVERIFY(!window.hostMessage(sync).handled);
            QCOMPARE(window.syncDeviceType, int(type));
        }
        QVERIFY(window.connectView->syncButtons[3]->isChecked());
    }
};

QTEST_MAIN(tst_Controller)
#include "tst_controller.moc"

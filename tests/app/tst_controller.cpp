// The main window and its controller against simulated devices, as a person uses
// them: what the window adds to tst_openapi's flows, the source buttons, the test sender.

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

#include <QButtonGroup>
#include <QLabel>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QUdpSocket>
#include <QtTest>

using namespace Sim;

namespace
{

QStringList row(const ZelNanoleafTool& window, int r)
{
    QStringList texts;
    for (int c = 0; c < 3; ++c)
        texts << window.pairView->model->index(r, c).data().toString();
    return texts;
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

private slots:
    void initTestCase()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
    }

    void init() { QDir(TokenProfile::directory()).removeRecursively(); }

    // The window comes up without its Image/ folder, its service on a thread of its own,
    // stopped when it goes; the close button only hides. SEARCH shows the loading label for
    // a while. Then the window's other controls, without devices, in turn.
    void windowAndControls()
    {
        auto* window = new ZelNanoleafTool;
        window->setLoadingInterval(300);
        QTest::mouseClick(window->searchButton, Qt::LeftButton);
        QVERIFY(!window->pairView->loadingLabel->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(window->pairView->loadingLabel->isHidden(), 5000);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QPointer<QThread> thread(window->serviceThread());
        QCOMPARE(window->service->thread(), thread.data());
        QSignalSpy lastClosed(qApp, SIGNAL(lastWindowClosed()));
        QTest::mouseClick(window->closeButton, Qt::LeftButton);
        QVERIFY(window->isHidden());
        QCOMPARE(lastClosed.count(), 0);
        QVERIFY(thread->isRunning());

        // A press in the top 45 pixels drags the window until the release.
        for (const int pressY : { 44, 45 }) {
            window->move(100, 100);
            const QPoint start = window->pos();
            sendMouse(window, QEvent::MouseButtonPress, QPoint(200, pressY), Qt::LeftButton);
            sendMouse(window, QEvent::MouseMove, QPoint(230, pressY + 20), Qt::LeftButton);
            QCOMPARE(window->pos(), pressY < 45 ? start + QPoint(30, 20) : start);
            sendMouse(window, QEvent::MouseButtonRelease, QPoint(230, pressY + 20), Qt::NoButton);
            const QPoint released = window->pos();
            sendMouse(window, QEvent::MouseMove, QPoint(260, 50), Qt::LeftButton);
            QCOMPARE(window->pos(), released);
        }

        // The test sender's random colours never reach 255 in any channel.
        QUdpSocket sink;
        QVERIFY(sink.bind(QHostAddress(kLightIp), 60221));
        deviceMap.clear();
        DeviceRecord record = DeviceRecord::discoveryRecord(kLight, kLightIp);
        record.isPaired = true, record.panelNumbers = 12;
        record.pidArrray = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 };
        deviceMap.insert(kLight, record);
        for (int i = 0; i < 50; ++i) {
            window->slot_SendData();
            QVERIFY(sink.waitForReadyRead(5000));
            const QByteArray datagram = sink.receiveDatagram().data();
            for (int panel = 0; panel < 12; ++panel)
                for (int channel = 0; channel < 3; ++channel)
                    QVERIFY(quint8(datagram.at(3 + 7 * panel + channel)) != 255);
        }

        // A click on a source button chooses it (again when clicked again); the host's
        // switch checks the button of types 1 to 4 silently. Both set syncDeviceType.
        Connect_View* view = window->connectView;
        QSignalSpy chosen(view, SIGNAL(signal_OpenSync(int)));
        view->slot_Sync(); // nothing checked yet: 0
        QTest::mouseClick(view->syncButtons[1], Qt::LeftButton);
        QTest::mouseClick(view->syncButtons[1], Qt::LeftButton);
        QCOMPARE(chosen, (QList<QVariantList> { { 0 }, { 2 }, { 2 } }));
        QCOMPARE(window->syncDeviceType.load(), 2);
        const std::pair<int, int> typeAndButton[] = { { 1, 0 }, { 4, 3 }, { 0, 3 }, { 5, 3 } };
        for (const auto& [type, id] : typeAndButton) {
            QVERIFY(
                !window->hostMessage({ 33024, std::uint64_t(std::uint32_t(type)), 0, 0, nullptr })
                     .handled);
            QCOMPARE(window->syncDeviceType.load(), type);
            QCOMPARE(view->buttonGroup->checkedId(), id);
        }
        QCOMPARE(chosen.count(), 3);
        deviceMap.clear();
        delete window;
        QVERIFY(thread.isNull());
    }

    // A refused pairing shows the hint; while the device holds the request the
    // window still takes clicks.
    void refusedPairingAndUnpairWithoutToken()
    {
        NanoleafSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(sim.setFault(kLightIp, QJsonObject { { "http", "slow" }, { "delay_ms", 1000 } }));
        ZelNanoleafTool window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(window.searchButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.pairView->model->rowCount(), 2, 15000);
        ModalCloser closer;
        window.pairView->selectedRow = 1;
        window.pairView->slot_PairPressed();
        QTRY_COMPARE_WITH_TIMEOUT(sim.requests(kLightIp).size(), 1, 10000);
        QTest::mouseClick(window.connectView->syncButtons[2], Qt::LeftButton);
        QCOMPARE(window.syncDeviceType.load(), 3);
        QCOMPARE(sim.requests(kLightIp).at(0)["status"].toInt(-1), 0); // still held
        QTRY_COMPARE_WITH_TIMEOUT(closer.count(), 1, 15000);
        const ModalCloser::Seen hint = closer.seen().first();
        QVERIFY(hint.messageBox && hint.warning && hint.okIsDefault);
        QCOMPARE(hint.title, QString("warning"));
        QCOMPARE(hint.text,
            QString("Hold on/off button of your nanoleaf device for 5-7 seconds until the "
                    "led starts flashing in a pattern , click  Pair button again within 30 "
                    "seconds"));
        QCOMPARE(row(window, 1).at(2), QString("Unpaired"));
        QVERIFY(!TokenProfile::exists());

        // UNPAIR of a row shown paired whose token is not stored asks the device
        // for one and changes nothing.
        QVERIFY(sim.reset());
        deviceMap.update(kLight, [](DeviceRecord& r) { r.isPaired = true; });
        window.refreshIsPaired();
        const DeviceRecord before = deviceMap.value(kLight);
        window.pairView->slot_UnPairPressed();
        QTRY_COMPARE_WITH_TIMEOUT(
            sim.requestLines(kLightIp), QStringList { "POST /api/v1/new" }, 10000);
        QCOMPARE(deviceMap.value(kLight), before);
        QCOMPARE(row(window, 1).at(2), QString("Paired"));
    }

    // SEARCH leaves streamed devices paired; one that answers from a new address is
    // switched into external control there with its stored token, streamed and given
    // its scene back there. A device the user never paired leaves the table once it no
    // longer answers; paired ones stay.
    void searchWhileStreaming()
    {
        const QString newIp = "127.0.0.5";
        QJsonArray devices;
        for (QJsonObject device : { NanoleafSim::lightPanels(), NanoleafSim::canvas() }) {
            device.insert("tokens", QJsonArray { kToken });
            devices.append(device);
        }
        devices.append(
            QJsonObject { { "name", "Shapes 07E7" }, { "ip", "127.0.0.4" }, { "model", "NL42" } });
        NanoleafSim sim(devices);
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(TokenProfile::write(kLight, kToken) && TokenProfile::write(kCanvas, kToken));
        LogWatch log({ "ZelNanoleafTool::scanFinished" });
        ZelNanoleafTool window;
        const auto search = [&] {
            const int ended = log.count("ZelNanoleafTool::scanFinished");
            window.slot_Scan();
            return log.waitFor("ZelNanoleafTool::scanFinished", ended + 1, 20000);
        };
        QVERIFY(search());
        window.slot_Pair(0, kCanvas, kCanvasIp);
        window.slot_Pair(1, kLight, kLightIp);
        for (const QString& ip : { kCanvasIp, kLightIp })
            QTRY_COMPARE_WITH_TIMEOUT(sim.mode(ip), QString("extControl-v2"), 10000);

        QVERIFY(sim.move(kCanvasIp, newIp));
        for (const QString& ip : { kLightIp, QString("127.0.0.4") })
            QVERIFY(sim.setFault(ip, QJsonObject { { "mdns", "silent" } }));
        QVERIFY(search());
        QTRY_COMPARE_WITH_TIMEOUT(sim.mode(newIp), QString("extControl-v2"), 10000);
        QCOMPARE(sim.requestLines(newIp).last(), QString("PUT /api/v1/<token>/effects"));
        QCOMPARE(window.pairView->model->rowCount(), 2);
        QCOMPARE(row(window, 0) + row(window, 1),
            (QStringList { kCanvas, newIp, "Paired", kLight, kLightIp, "Paired" }));
        int red[12] = { 9 }, green[12] = { 8 }, blue[12] = { 7 };
        window.service->sendUdpDAta(12, red, green, blue);
        QTRY_VERIFY_WITH_TIMEOUT(
            sim.framesAccepted(kLightIp) == 1 && sim.framesAccepted(newIp) == 1, 10000);
        window.service->restoreScenes();
        QTRY_COMPARE_WITH_TIMEOUT(sim.mode(newIp), QString("effect"), 10000);
    }

    // PAIR acts on an unpaired row, UNPAIR on a paired one, each on the row last
    // clicked (row 0 before any); a nameless row or one past the table: nothing.
    void pairAndUnpairRequests_data()
    {
        QTest::addColumn<int>("clicked"); // -1: no click; past the rows: set, not clicked
        QTest::addColumn<QString>("emitted"); // by PAIR, then UNPAIR
        QTest::newRow("no click acts on row 0 (paired)") << -1 << "unpair 0 Canvas A 127.0.0.2";
        QTest::newRow("row 1 unpaired") << 1 << "pair 1 Light B 127.0.0.3";
        QTest::newRow("row 2 empty name") << 2 << "";
        QTest::newRow("past the last row") << 5 << "";
    }

    void pairAndUnpairRequests()
    {
        QFETCH(int, clicked);
        QFETCH(QString, emitted);
        deviceMap.clear();
        Pair_View view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        deviceMap.insert("Canvas A", DeviceRecord::discoveryRecord("Canvas A", "127.0.0.2"));
        deviceMap.insert("Light B", DeviceRecord::discoveryRecord("Light B", "127.0.0.3"));
        // Canvas A paired, and what a layout answer leaves under a name never discovered.
        for (const char* paired : { "Canvas A", "Zz" })
            deviceMap.update(paired, [](DeviceRecord& r) { r.isPaired = true; });
        view.setListView();
        if (clicked > 2)
            view.selectedRow = clicked;
        else if (clicked >= 0)
            QTest::mouseClick(view.tableView->viewport(), Qt::LeftButton, {},
                view.tableView->visualRect(view.model->index(clicked, 0)).center());
        const int row = clicked < 0 ? 0 : clicked;
        QCOMPARE(view.selectedRow, row);
        // The keyboard moves the current row, not the acted-on one.
        view.tableView->setFocus();
        QTest::keyClick(view.tableView, Qt::Key_Down);
        QCOMPARE(view.selectedRow, row);

        QSignalSpy pair(&view, SIGNAL(signal_Pair(int, QString, QString)));
        QSignalSpy unpair(&view, SIGNAL(signal_UnPair(int, QString, QString)));
        view.slot_PairPressed();
        view.slot_UnPairPressed();
        QStringList sent;
        for (QSignalSpy* spy : { &pair, &unpair })
            for (const QVariantList& a : *spy)
                sent << QStringLiteral("%1 %2 %3 %4")
                            .arg(spy == &pair ? "pair" : "unpair", a[0].toString(), a[1].toString(),
                                a[2].toString());
        QCOMPARE(sent.join("; "), emitted);
    }
};

QTEST_MAIN(tst_Controller)
#include "tst_controller.moc"

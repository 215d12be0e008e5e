#include "app/zelnanoleaftool.h"
#include "service/deviceregistry.h"
#include "service/nanoleafapisync.h"
#include "views/applocation.h"
#include "views/connect_view.h"
#include "views/pair_view.h"

#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QtTest>

namespace
{

void sendMouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, at, target->mapToGlobal(at),
        type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

QStringList methodNames(const QMetaObject* meta)
{
    QStringList names;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        names << QString::fromLatin1(meta->method(i).methodSignature());
    return names;
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void shellValues()
    {
        ZelNanoleafTool window;
        QCOMPARE(window.size(), QSize(400, 600));
        QCOMPARE(window.minimumSize(), QSize(400, 600));
        QCOMPARE(window.maximumSize(), QSize(400, 600));
        QCOMPARE(window.windowTitle(), QString("Prismara Nanoleaf Tool"));
        QCOMPARE(window.windowFlags() & ~Qt::Window, Qt::WindowFlags(Qt::FramelessWindowHint));
        QCOMPARE(applicationLocation, QCoreApplication::applicationDirPath() + "/");
        QCOMPARE(window.syncDeviceType, 1);
        QCOMPARE(window.CUSTOM_TYPE_RGB, std::uint64_t(10001));
        QCOMPARE(window.currentRow, 0);
        QVERIFY(!window.sendTimer->isActive());
        QVERIFY(!window.loadingTimer->isActive());
    }

    void childrenAndGeometry()
    {
        ZelNanoleafTool window;
        QCOMPARE(window.pairView->geometry(), QRect(20, 95, 360, 250));
        QCOMPARE(window.connectView->geometry(), QRect(20, 380, 360, 125));
        QCOMPARE(window.searchButton->geometry(), QRect(20, 37, 80, 40));
        QCOMPARE(window.pairButton->geometry(), QRect(110, 37, 80, 40));
        QCOMPARE(window.unpairButton->geometry(), QRect(200, 37, 80, 40));
        QCOMPARE(window.minButton->geometry(), QRect(336, 5, 22, 22));
        QCOMPARE(window.closeButton->geometry(), QRect(368, 5, 22, 22));
        QCOMPARE(window.titleImage->geometry(), QRect(0, 0, 400, 30));
        QCOMPARE(window.titleText->geometry(), QRect(15, 5, 400, 22));
        QCOMPARE(window.titleText->text(), QString("Prismara Nanoleaf Tool"));
        QCOMPARE(window.minButton->objectName(), QString("Min_Window"));
        QCOMPARE(window.closeButton->objectName(), QString("Close_Window"));
        QVERIFY(window.closeButton->isFlat());

        // Stacking order is creation order: background lowest, close button highest.
        const QList<QWidget*> children
            = window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        const auto* background = qobject_cast<QLabel*>(window.childAt(5, 590));
        QVERIFY(background);
        QVERIFY(background->styleSheet().contains("Image/background.png"));
        QCOMPARE(qobject_cast<QPushButton*>(children.last()), window.closeButton);

        QStringList labels;
        const auto buttons
            = window.findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly);
        for (const QPushButton* button : buttons)
            if (!button->text().isEmpty())
                labels << button->text();
        QCOMPARE(labels, (QStringList { "SEARCH", "PAIR", "UNPAIR" }));
        QVERIFY(
            window.searchButton->styleSheet().contains(applicationLocation + "Image/Button_H.png"));
    }

    // The test programs run from a folder without Image/: the window must still
    // come up whole.
    void opensWithoutImageFolder()
    {
        QVERIFY(!QFileInfo::exists(QCoreApplication::applicationDirPath() + "/Image"));
        ZelNanoleafTool window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(400, 600));
        QVERIFY(!window.grab().isNull());
    }

    void serviceRunsOnItsOwnThread()
    {
        ZelNanoleafTool window;
        QVERIFY(window.serviceThread()->isRunning());
        QCOMPARE(window.service->thread(), window.serviceThread());
        QVERIFY(window.service->thread() != QThread::currentThread());
        QCOMPARE(deviceMap.count(), 0);
    }

    void dragStartsOnlyInTopStrip_data()
    {
        QTest::addColumn<int>("pressY");
        QTest::addColumn<bool>("moves");
        QTest::newRow("y 0") << 0 << true;
        QTest::newRow("y 44") << 44 << true;
        QTest::newRow("y 45") << 45 << false;
        QTest::newRow("y 300") << 300 << false;
    }

    void dragStartsOnlyInTopStrip()
    {
        QFETCH(int, pressY);
        QFETCH(bool, moves);
        ZelNanoleafTool window;
        window.move(100, 100);
        const QPoint start = window.pos();
        sendMouse(&window, QEvent::MouseButtonPress, QPoint(200, pressY), Qt::LeftButton);
        sendMouse(&window, QEvent::MouseMove, QPoint(230, pressY + 20), Qt::LeftButton);
        QCOMPARE(window.pos(), moves ? start + QPoint(30, 20) : start);
    }

    void moveAfterReleaseDoesNothing()
    {
        ZelNanoleafTool window;
        window.move(100, 100);
        sendMouse(&window, QEvent::MouseButtonPress, QPoint(200, 10), Qt::LeftButton);
        sendMouse(&window, QEvent::MouseButtonRelease, QPoint(200, 10), Qt::NoButton);
        const QPoint released = window.pos();
        sendMouse(&window, QEvent::MouseMove, QPoint(260, 50), Qt::LeftButton);
        QCOMPARE(window.pos(), released);
    }

    void closeButtonOnlyHides()
    {
        ZelNanoleafTool window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QSignalSpy lastClosed(qApp, SIGNAL(lastWindowClosed()));
        QTest::mouseClick(window.closeButton, Qt::LeftButton);
        QVERIFY(window.isHidden());
        QCOMPARE(lastClosed.count(), 0);
        QVERIFY(window.serviceThread()->isRunning());
    }

    void metaObjectInterfaceOrder()
    {
        QCOMPARE(methodNames(&ZelNanoleafTool::staticMetaObject),
            (QStringList { "showTokenPage(int)", "startScan()", "signal_SyncBtnCheck(int)",
                "slot_Connect()", "searchDeive()", "slot_Pair(int,QString,QString)",
                "slot_UnPair(int,QString,QString)", "slot_SendData()",
                "bonjourGetIpName(QString,QString)", "isStartUpdate(bool)", "slot_OpenSync(int)",
                "refreshIsPaired()", "startLoadingTimer()", "slot_Scan()",
                "mousePressEvent(QMouseEvent*)", "mouseMoveEvent(QMouseEvent*)",
                "mouseReleaseEvent(QMouseEvent*)" }));
        const QStringList service = methodNames(&nanoleafAPIsync::staticMetaObject);
        QCOMPARE(service.mid(0, 19),
            (QStringList { "getNanoIp(QString)", "showTokenPage(int)", "refreshIsPaired()",
                "bonjourGetIpName(QString,QString)", "startScan()", "GetRequestBtn()",
                "getPanelNumber(QNetworkReply*)", "checkQfileToken(QString)", "getToken()",
                "serviceReturnToken(QNetworkReply*)", "ResponseExternalControl(QNetworkReply*)",
                "ResponseStatic(QNetworkReply*)", "OpenExternalControl()", "receiveIP()",
                "searchDeive_noBonjour()", "decToHex(QString*)", "HexToQbyteArray(QString*)",
                "DexToQbyteArray(QString*)", "SendStaticMode(QString)" }));
        QCOMPARE(methodNames(&Pair_View::staticMetaObject),
            (QStringList { "searchDeive_noBonjour()", "signal_Pair(int,QString,QString)",
                "signal_UnPair(int,QString,QString)", "startScan()", "slot_PairPressed()",
                "slot_UnPairPressed()", "itemClicked(QModelIndex)", "setListView()",
                "slot_showTokenImply(int)", "closeLoading()" }));
        QCOMPARE(methodNames(&Connect_View::staticMetaObject),
            (QStringList { "signal_OpenSync(int)", "slot_Sync()", "slot_SyncBtnCheck(int)" }));
    }

    // A clean exit stops the service thread instead of leaving it to the end of
    // the process.
    void destructionStopsServiceThread()
    {
        auto* window = new ZelNanoleafTool;
        QPointer<QThread> thread(window->serviceThread());
        QVERIFY(thread->isRunning());
        delete window;
        QVERIFY(thread.isNull());
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

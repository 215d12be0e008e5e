// Preloaded into an unmodified tool process (LD_PRELOAD) by tests that must run
// the real binary, where QApplication::exec() and Qt's own window bookkeeping are
// at work. With PRISMARA_WINDOW_DRIVER naming a local socket, it serves one
// command per line from inside the tool's GUI thread and answers each with one
// line of compact JSON: {"ok": bool, ...}.
//
//   click TEXT          clicks the button whose text or object name is TEXT
//   select NAME         clicks the device table's row whose first cell is NAME
//   table               "rows": [[name, address, status], ...]
//   boxes               "boxes": [{"title", "text"}, ...] of the visible message boxes
//   close box           presses Return in the active modal message box
//   visible             "visible": whether the main window is shown
//
// Without PRISMARA_WINDOW_DRIVER it does nothing. It knows widgets only by what a
// user sees (texts, object names), never by the tool's own classes.

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMainWindow>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTableView>

namespace
{

QList<QWidget*> everyWidget()
{
    QList<QWidget*> all;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        all.append(top);
        all.append(top->findChildren<QWidget*>());
    }
    return all;
}

QJsonObject answer(bool ok, const QString& error = QString())
{
    QJsonObject out { { QStringLiteral("ok"), ok } };
    if (!error.isEmpty())
        out.insert(QStringLiteral("error"), error);
    return out;
}

QJsonObject click(const QString& what)
{
    for (QWidget* widget : everyWidget()) {
        auto* button = qobject_cast<QAbstractButton*>(widget);
        if (button != nullptr && (button->text() == what || button->objectName() == what)) {
            button->click();
            return answer(true);
        }
    }
    return answer(false, QStringLiteral("no button ") + what);
}

QTableView* deviceTable()
{
    for (QWidget* widget : everyWidget())
        if (auto* table = qobject_cast<QTableView*>(widget))
            return table;
    return nullptr;
}

QJsonObject selectRow(const QString& name)
{
    QTableView* table = deviceTable();
    if (table == nullptr || table->model() == nullptr)
        return answer(false, QStringLiteral("no table"));
    const QAbstractItemModel* model = table->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex cell = model->index(row, 0);
        if (cell.data().toString() != name)
            continue;
        // A press and a release on the cell, as the mouse makes them.
        const QPoint at = table->visualRect(cell).center();
        QMouseEvent press(QEvent::MouseButtonPress, at, table->viewport()->mapToGlobal(at),
            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, table->viewport()->mapToGlobal(at),
            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(table->viewport(), &press);
        QApplication::sendEvent(table->viewport(), &release);
        return answer(true);
    }
    return answer(false, QStringLiteral("no row ") + name);
}

QJsonObject tableRows()
{
    QTableView* table = deviceTable();
    if (table == nullptr || table->model() == nullptr)
        return answer(false, QStringLiteral("no table"));
    QJsonArray rows;
    const QAbstractItemModel* model = table->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        QJsonArray cells;
        for (int column = 0; column < model->columnCount(); ++column)
            cells.append(model->index(row, column).data().toString());
        rows.append(cells);
    }
    QJsonObject out = answer(true);
    out.insert(QStringLiteral("rows"), rows);
    return out;
}

QJsonObject boxes()
{
    QJsonArray list;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(top))
            if (box->isVisible())
                list.append(QJsonObject { { QStringLiteral("title"), box->windowTitle() },
                    { QStringLiteral("text"), box->text() } });
    QJsonObject out = answer(true);
    out.insert(QStringLiteral("boxes"), list);
    return out;
}

QJsonObject closeBox()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr)
        return answer(false, QStringLiteral("no modal message box"));
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(box, &press);
    QApplication::sendEvent(box, &release);
    return answer(true);
}

QJsonObject mainWindowVisible()
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (qobject_cast<QMainWindow*>(top) != nullptr) {
            QJsonObject out = answer(true);
            out.insert(QStringLiteral("visible"), top->isVisible());
            return out;
        }
    return answer(false, QStringLiteral("no main window"));
}

QJsonObject run(const QString& line)
{
    const QString verb = line.section(QLatin1Char(' '), 0, 0);
    const QString rest = line.section(QLatin1Char(' '), 1);
    if (verb == QLatin1String("click"))
        return click(rest);
    if (verb == QLatin1String("select"))
        return selectRow(rest);
    if (line == QLatin1String("table"))
        return tableRows();
    if (line == QLatin1String("boxes"))
        return boxes();
    if (line == QLatin1String("close box"))
        return closeBox();
    if (line == QLatin1String("visible"))
        return mainWindowVisible();
    return answer(false, QStringLiteral("unknown command ") + line);
}

} // namespace

class WindowDriver : public QObject
{
    Q_OBJECT

public:
    explicit WindowDriver(QObject* parent)
        : QObject(parent)
    {
        check(connect(&server, SIGNAL(newConnection()), this, SLOT(accept())), "newConnection()");
    }

    bool listen(const QString& name)
    {
        QLocalServer::removeServer(name);
        return server.listen(name);
    }

private slots:
    void accept()
    {
        while (QLocalSocket* socket = server.nextPendingConnection())
            check(connect(socket, SIGNAL(readyRead()), this, SLOT(serve())), "readyRead()");
    }

    void serve()
    {
        auto* socket = qobject_cast<QLocalSocket*>(sender());
        while (socket != nullptr && socket->canReadLine()) {
            const QString line = QString::fromUtf8(socket->readLine()).trimmed();
            socket->write(QJsonDocument(run(line)).toJson(QJsonDocument::Compact) + '\n');
            socket->flush();
        }
    }

private:
    static void check(bool connected, const char* signal)
    {
        if (!connected)
            qFatal("window driver: could not connect %s", signal);
    }

    QLocalServer server;
};

namespace
{

void startWindowDriver()
{
    const QString name = qEnvironmentVariable("PRISMARA_WINDOW_DRIVER");
    if (name.isEmpty())
        return;
    auto* driver = new WindowDriver(QCoreApplication::instance());
    if (!driver->listen(name))
        qFatal("window driver: cannot listen on %s", qPrintable(name));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startWindowDriver)

#include "windowdriver.moc"

// Preloaded (LD_PRELOAD) into the real tool binary. With PRISMARA_WINDOW_DRIVER
// naming a local socket, it serves one command per line in the GUI thread and
// answers each with a line of JSON {"ok": bool, ...}: "click TEXT" (a button's text
// or object name), "select NAME" (the table row whose first cell is NAME), "table"
// ("rows": [[name, address, status], ...]), "boxes" ("boxes": titles of visible
// message boxes), "close box" (Return in the modal box), "visible" (of the main
// window). It knows widgets only by what a user sees, never by the tool's classes.

#include <QAbstractButton>
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

template <typename T> QList<T*> every()
{
    QList<T*> all;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* widget = qobject_cast<T*>(top))
            all.append(widget);
        all.append(top->findChildren<T*>());
    }
    return all;
}

QJsonObject answer(bool ok, const char* member = "error", const QJsonValue& value = {})
{
    return QJsonObject { { "ok", ok }, { member, value } };
}

QJsonObject click(const QString& what)
{
    for (QAbstractButton* button : every<QAbstractButton>())
        if (button->text() == what || button->objectName() == what) {
            button->click();
            return answer(true);
        }
    return answer(false, "error", "no button " + what);
}

// The device table's rows; the row named `select`, if any, is clicked (a press and
// a release, as the mouse makes them).
QJsonObject table(const QString& select = QString())
{
    const QList<QTableView*> tables = every<QTableView>();
    if (tables.isEmpty() || tables.first()->model() == nullptr)
        return answer(false, "error", "no table");
    QTableView* view = tables.first();
    const QAbstractItemModel* model = view->model();
    QJsonArray rows;
    for (int row = 0; row < model->rowCount(); ++row) {
        QJsonArray cells;
        for (int column = 0; column < model->columnCount(); ++column)
            cells.append(model->index(row, column).data().toString());
        if (!select.isEmpty() && cells.first() == select) {
            const QPoint at = view->visualRect(model->index(row, 0)).center();
            for (auto type : { QEvent::MouseButtonPress, QEvent::MouseButtonRelease }) {
                QMouseEvent event(type, at, view->viewport()->mapToGlobal(at), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, {});
                QApplication::sendEvent(view->viewport(), &event);
            }
            return answer(true);
        }
        rows.append(cells);
    }
    return select.isEmpty() ? answer(true, "rows", rows)
                            : answer(false, "error", "no row " + select);
}

QJsonObject run(const QString& line)
{
    const QString verb = line.section(QLatin1Char(' '), 0, 0);
    const QString rest = line.section(QLatin1Char(' '), 1);
    if (verb == "click")
        return click(rest);
    if (verb == "select")
        return table(rest);
    if (line == "table")
        return table();
    if (line == "boxes") {
        QJsonArray titles;
        for (QMessageBox* box : every<QMessageBox>())
            if (box->isVisible())
                titles.append(box->windowTitle());
        return answer(true, "boxes", titles);
    }
    if (line == "close box") {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, {});
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, {});
        for (QKeyEvent* event : { &press, &release })
            if (box != nullptr)
                QApplication::sendEvent(box, event);
        return answer(box != nullptr);
    }
    if (line == "visible") {
        const QList<QMainWindow*> windows = every<QMainWindow>();
        return answer(
            !windows.isEmpty(), "visible", !windows.isEmpty() && windows.first()->isVisible());
    }
    return answer(false, "error", "unknown command " + line);
}

} // namespace

class WindowDriver : public QObject
{
    Q_OBJECT

public:
    explicit WindowDriver(QObject* parent)
        : QObject(parent)
    {
        if (!connect(&server, SIGNAL(newConnection()), this, SLOT(accept())))
            qFatal("window driver: could not connect newConnection()");
    }

    QLocalServer server;

private slots:
    void accept()
    {
        while (QLocalSocket* socket = server.nextPendingConnection())
            if (!connect(socket, SIGNAL(readyRead()), this, SLOT(serve())))
                qFatal("window driver: could not connect readyRead()");
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
};

static void startWindowDriver()
{
    const QString name = qEnvironmentVariable("PRISMARA_WINDOW_DRIVER");
    if (name.isEmpty())
        return;
    auto* driver = new WindowDriver(QCoreApplication::instance());
    QLocalServer::removeServer(name);
    if (!driver->server.listen(name))
        qFatal("window driver: cannot listen on %s", qPrintable(name));
}

Q_COREAPP_STARTUP_FUNCTION(startWindowDriver)

#include "windowdriver.moc"

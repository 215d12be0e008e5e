#include "views/pair_view.h"

#include "service/checkedconnect.h"
#include "service/deviceregistry.h"
#include "views/applocation.h"

#include <QBrush>
#include <QDebug>
#include <QFont>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QMovie>
#include <QStandardItemModel>
#include <QTableView>

namespace
{

QStandardItem* cellItem(const QString& text)
{
    auto* item = new QStandardItem(text);
    item->setForeground(QBrush(Qt::white));
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

} // namespace

Pair_View::Pair_View(QWidget* parent)
    : QWidget(parent)
{
    setGeometry(0, 0, 360, 250);

    tableView = new QTableView(this);
    tableView->setGeometry(0, 0, width(), height());
    tableView->setFixedSize(360, 250);
    tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableView->setStyleSheet("background:transparent;");
    tableView->setStyleSheet("QHeaderView::section { background-color:transparent }");
    tableView->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    tableView->horizontalHeader()->setHighlightSections(false);
    tableView->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tableView->verticalHeader()->setHidden(true);
    tableView->setShowGrid(false);
    tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);

    model = new QStandardItemModel(this);
    setHeaders();
    tableView->setModel(model);
    checkedConnect(tableView, SIGNAL(clicked(QModelIndex)), this, SLOT(itemClicked(QModelIndex)));

    // applicationLocation already ends in "/", so the path holds two slashes in a
    // row; the file system does not mind.
    loadingMovie = new QMovie(applicationLocation + "/Image/Spin-1s-45px.gif");
    loadingLabel = new QLabel(this);
    loadingLabel->setMovie(loadingMovie);
    loadingLabel->setHidden(true);
    auto* layout = new QGridLayout(this);
    layout->addWidget(loadingLabel, 0, 0, Qt::AlignCenter);
}

Pair_View::~Pair_View()
{
    delete loadingMovie;
}

QStandardItem* Pair_View::headerItem(const QString& text)
{
    auto* item = new QStandardItem(text);
    item->setForeground(QBrush(Qt::white));
    item->setFont(QFont("Arial", 14, -1, false));
    return item;
}

void Pair_View::setHeaders()
{
    model->setHorizontalHeaderItem(0, headerItem("Devices"));
    model->setHorizontalHeaderItem(1, headerItem("IP"));
    model->setHorizontalHeaderItem(2, headerItem("Status"));
}

void Pair_View::itemClicked(QModelIndex index)
{
    qDebug() << "Pair_View::itemClicked" << index.data().toString() << index.column()
             << index.row();
    selectedRow = index.row();
}

void Pair_View::setListView()
{
    const QMap<QString, DeviceRecord> devices = deviceMap.snapshot();
    qDebug() << "setListView deviceMap.count()" << devices.count();
    qDebug() << "setListView deviceMap.count()" << devices.count();
    // Devices that no longer answer leave the registry: their rows go too.
    if (model->rowCount() > devices.count())
        model->setRowCount(devices.count());
    int row = 0;
    for (auto it = devices.cbegin(); it != devices.cend(); ++it, ++row) {
        const DeviceRecord& record = it.value();
        qDebug() << "k deviceName" << record.deviceName;
        model->setItem(row, 0, cellItem(record.deviceName));
        model->setItem(row, 1, cellItem(record.ip));
        // A device given by address that cannot be reached says why.
        model->setItem(row, 2,
            cellItem(record.isPaired        ? QStringLiteral("Paired")
                    : record.note.isEmpty() ? QStringLiteral("Unpaired")
                                            : record.note));
    }
}

Pair_View::RowTexts Pair_View::selectedTexts() const
{
    // A row that does not exist reads as three empty texts.
    RowTexts texts;
    texts.name = model->index(selectedRow, 0).data().toString();
    texts.ip = model->index(selectedRow, 1).data().toString();
    texts.status = model->index(selectedRow, 2).data().toString();
    return texts;
}

void Pair_View::slot_PairPressed()
{
    qDebug() << "Pair_View::slot_PairPressed()";
    const RowTexts row = selectedTexts();
    qDebug() << "realName" << row.name << "realIp" << row.ip << "realpaired" << row.status;
    if (row.name.isEmpty() || row.status != "Unpaired")
        return;
    emit signal_Pair(selectedRow, row.name, row.ip);
    const DeviceRecord record = deviceMap.value(row.name);
    qDebug() << "slot_PairPressed" << record.deviceName;
    qDebug() << "slot_PairPressed" << QString::number(record.panelNumbers);
    qDebug() << "slot_PairPressed" << record.pidArrray;
    qDebug() << "emit signal_Pair";
}

void Pair_View::slot_UnPairPressed()
{
    qDebug() << "Pair_View::slot_UnPairPressed()";
    const RowTexts row = selectedTexts();
    qDebug() << "realName" << row.name << "realIp" << row.ip << "realpaired" << row.status;
    if (row.name.isEmpty() || row.status != "Paired")
        return;
    qDebug() << "emit signal_UnPair";
    const DeviceRecord record = deviceMap.value(row.name);
    qDebug() << "slot_UnPairPressed" << record.deviceName;
    qDebug() << "slot_UnPairPressed" << QString::number(record.panelNumbers);
    qDebug() << "slot_UnPairPressed" << record.pidArrray;
    emit signal_UnPair(selectedRow, row.name, row.ip);
}

void Pair_View::slot_showTokenImply(int row)
{
    Q_UNUSED(row);
    qDebug() << "slot_showTokenImply";
    // exec() runs a nested event loop, so host colour frames keep being handled
    // and forwarded while the hint is open.
    QMessageBox box(QMessageBox::Warning, "warning",
        "Hold on/off button of your nanoleaf device for 5-7 seconds until the led "
        "starts flashing in a pattern , click  Pair button again within 30 seconds",
        QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

void Pair_View::closeLoading()
{
    loadingMovie->stop();
    loadingLabel->setHidden(true);
}

#pragma once

#include <QModelIndex>
#include <QWidget>

class QLabel;
class QMovie;
class QStandardItem;
class QStandardItemModel;
class QTableView;

// The device table: one row per entry of the device registry (name, address,
// pairing status), the spinner shown while a search runs, and the PAIR / UNPAIR
// requests for the selected row.
class Pair_View : public QWidget
{
    Q_OBJECT

public:
    explicit Pair_View(QWidget* parent = nullptr);
    ~Pair_View() override;

    QTableView* tableView;
    QStandardItemModel* model;
    QLabel* loadingLabel;
    QMovie* loadingMovie;
    int selectedRow = 0;

    // A header item as the table shows it: white, "Arial" 14 points.
    static QStandardItem* headerItem(const QString& text);
    // Puts the three column headers back (after the model was cleared).
    void setHeaders();

signals:
    void searchDeive_noBonjour();
    void signal_Pair(int, QString, QString);
    void signal_UnPair(int, QString, QString);
    void startScan();

public slots:
    void slot_PairPressed();
    void slot_UnPairPressed();
    void itemClicked(QModelIndex index);
    void setListView();
    void slot_showTokenImply(int row);
    void closeLoading();

private:
    struct RowTexts {
        QString name;
        QString ip;
        QString status;
    };
    RowTexts selectedTexts() const;
};

#pragma once

#include <QWidget>

class QButtonGroup;
class QPushButton;

// The four source buttons: which host source's colours are mirrored. The button
// with group id k stands for sync device type k + 1.
class Connect_View : public QWidget
{
    Q_OBJECT

public:
    explicit Connect_View(QWidget* parent = nullptr);

    static constexpr int kSources = 4;
    QPushButton* syncButtons[kSources];
    QButtonGroup* buttonGroup;

signals:
    void signal_OpenSync(int);

public slots:
    void slot_Sync();
    void slot_SyncBtnCheck(int type);
};

#include "views/connect_view.h"

#include "service/checkedconnect.h"
#include "views/applocation.h"

#include <QButtonGroup>
#include <QDebug>
#include <QPushButton>

Connect_View::Connect_View(QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(360, 125);
    setStyleSheet("background:transparent;");
    buttonGroup = new QButtonGroup(this);
    qDebug() << "border iamge" << applicationLocation;

    const QString& at = applicationLocation;
    const QString sheets[kSources] = {
        "QPushButton:hover{border-image:url(\"" + at
            + "Image/Prismara BUTTON.png\");}"
              "QPushButton{border-image:url(\""
            + at
            + "Image/Prismara BUTTON-2.png\");}"
              "QPushButton:checked{border-image:url(\""
            + at + "Image/Prismara BUTTON.png\")}",
        "QPushButton:hover{border-image:url(\"" + at
            + "Image/Zel Halvi.png\"); border:0px;}"
              "QPushButton{color:white; border:0px;border-image:url(\""
            + at
            + "Image/Zel Halvi-2.png\");}"
              "QPushButton:checked{border-image:url(\""
            + at + "Image/Zel Halvi.png\"); border:0px;}",
        "QPushButton:hover{border-image:url(\"" + at
            + "Image/Zel Norrin.png\"); border:0px;}"
              "QPushButton{color:white; border:0px;border-image:url(\""
            + at
            + "Image/Zel Norrin-2.png\");}"
              "QPushButton:checked{border-image:url(\""
            + at + "Image/Zel Norrin.png\")}",
        "QPushButton:hover{border-image:url(\"" + at
            + "Image/Stelvar.png\"); border:0px;}"
              "QPushButton{color:white; border:0px;border-image:url(\""
            + at
            + "Image/Stelvar-2.png\");}"
              "QPushButton:checked{border-image:url(\""
            + at + "Image/Stelvar.png\")}",
    };
    const QRect geometry[kSources] = {
        QRect(0, 0, 160, 55),
        QRect(0, height() - 55, 160, 55),
        QRect(width() - 160, 0, 160, 55),
        QRect(width() - 160, height() - 55, 160, 55),
    };

    for (int k = 0; k < kSources; ++k) {
        syncButtons[k] = new QPushButton(this);
        syncButtons[k]->setGeometry(geometry[k]);
        syncButtons[k]->setStyleSheet(sheets[k]);
        if (k == 2)
            qDebug() << "width is" << width();
        syncButtons[k]->setCheckable(true);
        buttonGroup->addButton(syncButtons[k]);
        buttonGroup->setId(syncButtons[k], k);
        checkedConnect(syncButtons[k], SIGNAL(released()), this, SLOT(slot_Sync()));
    }
}

void Connect_View::slot_Sync()
{
    const int type = buttonGroup->checkedId() + 1;
    qDebug() << "Connect_View::slot_Sync()" << type;
    if (QAbstractButton* checked = buttonGroup->checkedButton())
        qDebug() << "check is check" << checked->isChecked();
    emit signal_OpenSync(type);
}

void Connect_View::slot_SyncBtnCheck(int type)
{
    qDebug() << "slot_SyncBtnCheck" << type;
    // The host may send any integer; only types 1 to 4 have a button.
    if (type < 1 || type > kSources) {
        qDebug() << "slot_SyncBtnCheck no source button for type" << type;
        return;
    }
    syncButtons[type - 1]->setChecked(true);
}

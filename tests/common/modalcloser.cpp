#include "tests/common/modalcloser.h"

#include "service/checkedconnect.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

ModalCloser::ModalCloser(QObject* parent)
    : QObject(parent)
{
    checkedConnect(&timer, SIGNAL(timeout()), this, SLOT(sweep()));
    // The timer also fires inside a dialog's own event loop, which is where it
    // is needed.
    timer.start(20);
}

void ModalCloser::sweep()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible())
        return;
    Seen seen;
    seen.title = modal->windowTitle();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        seen.messageBox = true;
        seen.text = box->text();
        seen.warning = box->icon() == QMessageBox::Warning;
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        seen.okIsDefault = ok != nullptr && box->defaultButton() == ok;
        closed.append(seen);
        if (ok != nullptr)
            ok->click();
        else
            box->reject();
    } else {
        closed.append(seen);
        modal->close();
    }
}

#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

// Closes every modal dialog the tool opens (the pairing hint is a modal message
// box that would otherwise block the test), as a user pressing its default button
// would, and records what each one said.
class ModalCloser : public QObject
{
    Q_OBJECT

public:
    struct Seen {
        QString title;
        QString text;
        bool warning = false; // the warning icon
        bool okIsDefault = false; // an OK button, and it is the default one
        bool messageBox = false; // false: some other modal widget
    };

    explicit ModalCloser(QObject* parent = nullptr);

    const QList<Seen>& seen() const { return closed; }
    int count() const { return closed.size(); }

private slots:
    void sweep();

private:
    QTimer timer;
    QList<Seen> closed;
};

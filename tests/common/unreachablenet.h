#pragma once

#include <QString>
#include <QStringList>

// Addresses nothing answers for, inside the test's private network: a veth pair unr0 - unr1
// with 198.18.0.1/15 on unr0, so a datagram for 198.18.0.2 and up waits for an address lookup
// that stays unanswered, as for a device switched off at the wall. Nothing leaves the
// namespace; outside a private network (TestNetwork::inPrivateNetwork) it does nothing.
class UnreachableNet
{
public:
    ~UnreachableNet();

    // Creates the pair; false (see errorString) outside a private network or when a command fails.
    bool up();
    // Gives unr0 the address ip as well (this machine's own, e.g. for a simulated device), or
    // takes it away again: datagrams for it then wait for an answer that never comes.
    bool addAddress(const QString& ip);
    bool removeAddress(const QString& ip);
    // Answers the lookup for ip for good: what waits leaves by unr0 (unr1 throws it away).
    bool answerFor(const QString& ip);

    QString errorString() const { return m_error; }

private:
    bool ip(const QStringList& arguments);

    bool m_up = false;
    QString m_error;
};

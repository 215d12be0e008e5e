#include "tests/common/unreachablenet.h"

#include "tests/common/privatenetwork.h"

#include <QProcess>

UnreachableNet::~UnreachableNet()
{
    if (m_up)
        ip({ "link", "del", "unr0" });
}

bool UnreachableNet::up()
{
    m_up = ip({ "link", "add", "unr0", "type", "veth", "peer", "name", "unr1" });
    return m_up && ip({ "addr", "add", "198.18.0.1/15", "dev", "unr0" })
        && ip({ "link", "set", "unr0", "up" }) && ip({ "link", "set", "unr1", "up" });
}

bool UnreachableNet::addAddress(const QString& address)
{
    return ip({ "addr", "add", address + "/32", "dev", "unr0" });
}

bool UnreachableNet::removeAddress(const QString& address)
{
    return ip({ "addr", "del", address + "/32", "dev", "unr0" });
}

bool UnreachableNet::answerFor(const QString& address)
{
    // A made-up, locally administered hardware address: unr1 is not it and
    // throws what arrives away.
    return ip({ "neigh", "replace", address, "lladdr", "02:00:00:00:00:01", "dev", "unr0", "nud",
        "permanent" });
}

bool UnreachableNet::ip(const QStringList& arguments)
{
    if (!TestNetwork::inPrivateNetwork()) {
        m_error = "not in a private network namespace (run through tools/netns-run)";
        return false;
    }
    QProcess command;
    command.setProcessChannelMode(QProcess::MergedChannels);
    command.start("ip", arguments);
    const bool ok = command.waitForFinished(10000) && command.exitStatus() == QProcess::NormalExit
        && command.exitCode() == 0;
    if (!ok) {
        command.kill();
        command.waitForFinished(1000);
        m_error = "ip " + arguments.join(' ') + ": " + QString::fromLocal8Bit(command.readAll());
    }
    return ok;
}

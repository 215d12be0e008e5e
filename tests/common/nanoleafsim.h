#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

#include <memory>

class QNetworkAccessManager;
class QProcess;

// Runs BUILD/bin/nanoleaf-sim for one test and drives it through its control
// interface. Every call blocks for a bounded time; a failure gives false or an empty
// value and leaves the reason in errorString(). The simulator binds fixed ports, so
// the test must run in a private network namespace (prismara_add_test ... NETNS;
// common/privatenetwork.h tells).
//
//   NanoleafSim sim;                      // default: one Light Panels, one Canvas
//   QVERIFY2(sim.start(), qPrintable(sim.errorString()));
//   QVERIFY(sim.setPairing("127.0.0.2", true));
class NanoleafSim
{
public:
    NanoleafSim();
    explicit NanoleafSim(const QJsonArray& devices);
    ~NanoleafSim();
    NanoleafSim(const NanoleafSim&) = delete;
    NanoleafSim& operator=(const NanoleafSim&) = delete;

    // Device entries in the simulator's configuration format.
    static QJsonObject lightPanels(const QString& ip = QStringLiteral("127.0.0.2"),
        const QVector<int>& panels = { 82, 15, 200 },
        const QString& name = QStringLiteral("Light Panels 52:33:A1"));
    static QJsonObject canvas(const QString& ip = QStringLiteral("127.0.0.3"),
        const QVector<int>& panels = { 1234, 7 },
        const QString& name = QStringLiteral("Canvas 1F:2B:3C"));
    // lightPanels() and canvas() with their defaults.
    static QJsonArray defaultDevices();
    // "time_ns" of a request, frame or query record (written as decimal text).
    static qint64 timeNs(const QJsonObject& record);

    void setDevices(const QJsonArray& devices); // before start()
    bool start(int timeoutMs = 15000);
    void stop();
    bool isRunning() const;
    QString errorString() const { return m_error; }
    QString controlAddress() const { return m_control; }
    QByteArray standardError() const;

    QJsonArray devices();
    QJsonObject device(const QString& ip);
    bool setPairing(const QString& ip, bool on);
    QJsonArray requests(const QString& ip);
    QJsonArray frames(const QString& ip);
    QJsonArray mdnsQueries();
    // {"http": "...", "mdns": "...", "delay_ms": N}; members left out stay as they are.
    bool setFault(const QString& ip, const QJsonObject& fault);
    bool reset();

private:
    bool call(
        const QByteArray& verb, const QString& path, const QJsonObject& body, QJsonObject* answer);
    QJsonArray listAt(const QString& path, const QString& member);

    QJsonArray m_devices;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QNetworkAccessManager> m_network;
    QString m_control;
    QString m_error;
    mutable QByteArray m_stderr;
};

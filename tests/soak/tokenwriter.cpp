// Writes tokens into the token profile in a loop, as fast as it can, for a test
// that kills it at random moments:
//
//   soak-tokenwriter PREFIX COUNT
//
// prints "FILE <profile>" first, then "W <i>" once the token of PREFIX-<i> is
// stored (the write returned), for i = 0 .. COUNT-1; "FAILED <i>" and exit
// status 3 when a write fails.

#include "service/tokenprofile.h"
#include "soak/tokenvalue.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool ok = false;
    const int count = args.size() == 3 ? args.at(2).toInt(&ok) : 0;
    if (!ok || count <= 0 || args.at(1).isEmpty()) {
        std::fprintf(stderr, "usage: soak-tokenwriter PREFIX COUNT\n");
        return 2;
    }
    const QString prefix = args.at(1);
    std::printf("FILE %s\n", qPrintable(TokenProfile::fileName()));
    std::fflush(stdout);
    for (int i = 0; i < count; ++i) {
        const QString name = prefix + QLatin1Char('-') + QString::number(i);
        if (!TokenProfile::write(name, soakTokenFor(name))) {
            std::printf("FAILED %d\n", i);
            std::fflush(stdout);
            return 3;
        }
        std::printf("W %d\n", i);
        std::fflush(stdout);
    }
    return 0;
}

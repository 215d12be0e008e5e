// Feeds arbitrary lines to both readers of the activation channel and checks what
// the running tool and a later start rely on: a refused line changes nothing; an
// accepted request's arguments and an accepted answer's exit code (0 to 255) and
// reason read back the same once written out again.

#include "app/activationmessage.h"
#include "fuzzcheck.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 2 * Activation::kActivationMaxLine)
        return 0;
    const QByteArray line(reinterpret_cast<const char*>(data), static_cast<int>(size));

    QStringList arguments { QStringLiteral("untouched") };
    if (!Activation::decodeRequest(line, arguments)) {
        check(arguments == QStringList { QStringLiteral("untouched") });
    } else {
        check(size <= std::size_t(Activation::kActivationMaxLine));
        const QByteArray again = Activation::encodeRequest(arguments);
        QStringList reread;
        check(again.isEmpty() || (Activation::decodeRequest(again, reread) && reread == arguments));
    }

    int exitCode = -1;
    QString error = QStringLiteral("untouched");
    if (!Activation::decodeAnswer(line, exitCode, error)) {
        check(exitCode == -1 && error == QStringLiteral("untouched"));
    } else {
        check(exitCode >= 0 && exitCode <= 255);
        int code = -1;
        QString text;
        check(Activation::decodeAnswer(Activation::encodeAnswer(exitCode, error), code, text));
        check(code == exitCode && text == error);
    }
    return 0;
}

#pragma once

#include "intake/intakereceiver.h"

#include <QString>

#include <cstdint>

// How the network intake is set up: which protocols listen, on which address, from
// which E1.31 universe the strip starts, how long a DDP or Art-Net sender may stay
// silent. The command line (--listen, --listen-address, --universe) and the token
// profile's [intake] group (listen=, address=, universe=, timeout=) read their texts
// with the same functions, so both take the same values.
struct NetworkIntakeSettings {
    static constexpr double kDefaultTimeoutSeconds = 5.0;

    IntakeReceiver::Settings receiver; // no protocol: the intake is off
    std::uint16_t universe = 1;

    bool any() const { return receiver.ddp || receiver.e131 || receiver.artNet; }

    // Each reads one value's text into the settings, or leaves them alone and says
    // why in `problem`.
    // "ddp", "e131", "artnet" separated by commas (any case, blanks allowed), or
    // "all"; an empty text or "none" turns every protocol off.
    bool readListen(const QString& text, QString& problem);
    // A dotted IPv4 address; 0.0.0.0 is every interface.
    bool readAddress(const QString& text, QString& problem);
    // 1 to 63999.
    bool readUniverse(const QString& text, QString& problem);
    // Seconds, fractions allowed, 0.1 to 3600.
    bool readTimeout(const QString& text, QString& problem);

    // "DDP, E1.31, Art-Net": the protocols turned on, in that order.
    QString protocols() const;
};

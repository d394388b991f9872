// Why there is, or is not, a live reading: the state of the serial link as
// one word, shared by the event views (tray tooltip, service status line)
// and the MQTT topic that tells Home Assistant. Any thread.
#pragma once

#include <QString>
#include <QStringList>

// The value that stands for "no reading": sent by the upload and written to
// the temperature logs whenever there is no live reading. A thermometer may
// send it as a real reading too; TLink::Live() tells the two apart, and in a
// temperature log it always marks a send without one.
inline constexpr long double NoReading = -100.0L;

enum class LinkState {
    Connected,  // the port is open; readings arrive (or none was due yet)
    Silent,     // the port is open, but no reading came for 30 s
    Unreadable, // lines arrive, but the last one did not convert
    Closed,     // closed by the user, or never opened
    Missing,    // the device is gone (unplugged, no such port)
    Denied,     // the port cannot be opened (no permission, or in use)
};

inline QString LinkStateWord(LinkState state) {
    switch (state) {
    case LinkState::Connected:
        return QStringLiteral("connected");
    case LinkState::Silent:
        return QStringLiteral("silent");
    case LinkState::Unreadable:
        return QStringLiteral("unreadable");
    case LinkState::Closed:
        return QStringLiteral("closed");
    case LinkState::Missing:
        return QStringLiteral("missing");
    case LinkState::Denied:
        return QStringLiteral("denied");
    }
    return {};
}

// Every word, in the order above (the options of Home Assistant's enum).
inline QStringList LinkStateWords() {
    QStringList words;
    for (LinkState s : {LinkState::Connected, LinkState::Silent, LinkState::Unreadable,
                        LinkState::Closed, LinkState::Missing, LinkState::Denied})
        words << LinkStateWord(s);
    return words;
}

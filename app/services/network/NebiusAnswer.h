#pragma once

#include <QByteArray>
#include <QString>

// What the Token Factory and the relay send back, read into the translation or
// into the error the window shows. Bodies come from the network: any bytes.
class NebiusAnswer {
public:
    // The message of a failed Token Factory answer: its text without `key`, cut
    // to a readable length.
    static QString tokenFactoryFailure(const QByteArray& body, const QString& key);
    // The translation in a successful relay answer; otherwise throws the
    // NebiusError the answer names.
    static QString relayContent(bool success, const QByteArray& body);
};

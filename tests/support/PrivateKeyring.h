#pragma once

#include <QTest>

// Whether this process talks to the keyring that the test services started on their own
// session bus (tools/test-services.sh names that bus), not to the user's.
inline bool onPrivateKeyring() {
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    return !bus.isEmpty() && bus == qgetenv("RELAYO_TEST_KEYRING_BUS");
}

// Fails a test that would write the keyring unless the keyring is the test services' own.
#define REQUIRE_PRIVATE_KEYRING()                                                                  \
    QVERIFY2(onPrivateKeyring(), "This test writes the keyring: run it under the private test "    \
                                 "services (tools/test-services.sh), never in a user's session")

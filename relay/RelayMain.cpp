// relayo-relay: translates for Relayo copies that have no Token Factory key.
// Meant to run behind a TLS reverse proxy; see README.md.

#include "app/services/network/HttpTransport.h"
#include "app/services/network/ServiceEndpoints.h"
#include "app/translation/TokenFactoryKey.h"
#include "relay/RelayServer.h"
#include "relay/TerminationSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <cstdio>
#include <optional>

namespace {

struct ListenAddress {
    QHostAddress host;
    quint16 port;
};

// "127.0.0.1:8787" or "[::1]:8787"; port 0 picks a free one.
std::optional<ListenAddress> listenAddressOf(const QString& text) {
    const QUrl url(QStringLiteral("http://") + text);
    const QHostAddress host(url.host());
    if (!url.isValid() || host.isNull() || url.port() < 0 || !url.path().isEmpty())
        return std::nullopt;
    return ListenAddress{host, quint16(url.port())};
}

int fail(const QString& message) {
    std::fprintf(stderr, "relayo-relay: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const TerminationSignals termination;

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Translates for Relayo copies without a Token Factory key. The key is read from "
        "NEBIUS_TOKEN_FACTORY_KEY or a .env.local file."));
    options.addHelpOption();
    const QCommandLineOption listen(
        QStringLiteral("listen"), QStringLiteral("Address and port to serve on."),
        QStringLiteral("ADDRESS:PORT"), QStringLiteral("127.0.0.1:8787"));
    const QCommandLineOption upstream(
        QStringLiteral("upstream"), QStringLiteral("Chat-completions endpoint to translate with."),
        QStringLiteral("URL"), ServiceEndpoints::tokenFactory().toString());
    options.addOptions({listen, upstream});
    options.process(app);

    const auto address = listenAddressOf(options.value(listen));
    if (!address)
        return fail(QStringLiteral("--listen takes ADDRESS:PORT, such as 127.0.0.1:8787"));
    const QUrl upstreamURL(options.value(upstream), QUrl::StrictMode);
    if (!upstreamURL.isValid() || !upstreamURL.scheme().startsWith(QStringLiteral("http")))
        return fail(QStringLiteral("--upstream takes an http or https URL"));
    const std::optional<QString> key = TokenFactoryKey::load();
    if (!key || key->isEmpty())
        return fail(QStringLiteral("no Token Factory key: set NEBIUS_TOKEN_FACTORY_KEY or put it "
                                   "in .env.local"));
    if (!HttpTransport::isSafeHeaderValue(*key))
        return fail(QStringLiteral("the Token Factory key contains control characters"));

    RelayServer relay(upstreamURL, *key);
    const quint16 port = relay.listen(address->host, address->port);
    if (port == 0)
        return fail(QStringLiteral("cannot listen on %1").arg(options.value(listen)));
    QObject::connect(&termination, &TerminationSignals::received, &relay, &RelayServer::shutDown);
    QObject::connect(&relay, &RelayServer::drained, &app, &QCoreApplication::quit);
    std::fprintf(stderr, "relayo-relay: listening on port %u\n", unsigned(port));
    return app.exec();
}

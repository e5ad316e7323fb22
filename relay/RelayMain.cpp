// relayo-relay: translates for Relayo copies that have no Token Factory key.
// Meant to run behind a TLS reverse proxy; see README.md.

#include "app/services/network/HttpTransport.h"
#include "app/services/network/ServiceEndpoints.h"
#include "app/translation/ChatCompletion.h"
#include "app/translation/TokenFactoryKey.h"
#include "relay/RelayServer.h"
#include "relay/TerminationSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <cstdio>
#include <optional>
#include <sys/resource.h>

namespace {

// The systemd credential (LoadCredential=) that holds the key.
const QString keyCredential = QStringLiteral("token-factory-key");
// Descriptors kept for what is not a client: the calls upstream and the process's own.
constexpr int descriptorsBesideClients = 128;

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

// Under systemd the key comes as a credential, which no other process of the service sees;
// elsewhere from the environment or .env.local like the app's.
std::optional<QString> operatorKey() {
    const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (credentials.isEmpty())
        return TokenFactoryKey::load();
    QFile file(QDir(credentials).filePath(keyCredential));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(file.read(4096)).trimmed();
}

// Client connections stay below the descriptor limit, so accepting never runs out of them.
int connectionCap(const RelayLimits& limits) {
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY)
        return limits.maxConnections;
    const auto available =
        qint64(descriptors.rlim_cur) - limits.maxUpstreamCalls - descriptorsBesideClients;
    return int(std::min<qint64>(limits.maxConnections, available));
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
        "Translates for Relayo copies without a key of their own, through Token Factory or any "
        "OpenAI-compatible server. The key is read from the systemd credential "
        "token-factory-key, else NEBIUS_TOKEN_FACTORY_KEY or a .env.local file; another "
        "upstream may do without one."));
    options.addHelpOption();
    const QCommandLineOption listen(
        QStringLiteral("listen"), QStringLiteral("Address and port to serve on."),
        QStringLiteral("ADDRESS:PORT"), QStringLiteral("127.0.0.1:8787"));
    const QCommandLineOption upstream(
        QStringLiteral("upstream"), QStringLiteral("Chat-completions endpoint to translate with."),
        QStringLiteral("URL"), ServiceEndpoints::tokenFactory().toString());
    const QCommandLineOption model(QStringLiteral("model"),
                                   QStringLiteral("Model the upstream translates with."),
                                   QStringLiteral("NAME"), ChatCompletion::translationModel);
    const QCommandLineOption trustProxy(
        QStringLiteral("trust-proxy"),
        QStringLiteral("The reverse proxy whose X-Real-IP header names the client (default: any "
                       "loopback address)."),
        QStringLiteral("ADDRESS"));
    options.addOptions({listen, upstream, model, trustProxy});
    options.process(app);

    const auto address = listenAddressOf(options.value(listen));
    if (!address)
        return fail(QStringLiteral("--listen takes ADDRESS:PORT, such as 127.0.0.1:8787"));
    const QUrl upstreamURL(options.value(upstream), QUrl::StrictMode);
    if (!upstreamURL.isValid() || !upstreamURL.scheme().startsWith(QStringLiteral("http")))
        return fail(QStringLiteral("--upstream takes an http or https URL"));
    const QHostAddress proxyAddress(options.value(trustProxy));
    if (options.isSet(trustProxy) && proxyAddress.isNull())
        return fail(QStringLiteral("--trust-proxy takes an IP address, such as 127.0.0.1"));
    const QString key = operatorKey().value_or(QString());
    // Token Factory always wants a key; a team's own server may not.
    if (key.isEmpty() && upstreamURL == ServiceEndpoints::tokenFactory())
        return fail(QStringLiteral("no Token Factory key: set NEBIUS_TOKEN_FACTORY_KEY, put it "
                                   "in .env.local or pass it as the credential %1")
                        .arg(keyCredential));
    if (!HttpTransport::isSafeHeaderValue(key))
        return fail(QStringLiteral("the key contains control characters"));
    if (options.value(model).trimmed().isEmpty())
        return fail(QStringLiteral("--model takes the name the upstream serves"));
    RelayLimits limits;
    limits.maxConnections = connectionCap(limits);
    if (limits.maxConnections < 1)
        return fail(QStringLiteral("too few file descriptors: raise the limit (ulimit -n)"));

    RelayServer relay(upstreamURL, key, limits,
                      options.isSet(trustProxy) ? TrustedProxy(proxyAddress) : TrustedProxy(),
                      options.value(model).trimmed());
    const quint16 port = relay.listen(address->host, address->port);
    if (port == 0)
        return fail(QStringLiteral("cannot listen on %1").arg(options.value(listen)));
    QObject::connect(&termination, &TerminationSignals::received, &relay, &RelayServer::shutDown);
    QObject::connect(&relay, &RelayServer::drained, &app, &QCoreApplication::quit);
    std::fprintf(stderr, "relayo-relay: listening on port %u\n", unsigned(port));
    return app.exec();
}

// Load on the relay executable over loopback: a few hundred requests at once,
// from many clients, from one client, and with oversized bodies. Prints the
// answers by status, the failed connections, and the relay's peak memory.
// The Token Factory is a loopback fake that answers at once.

#include "tests/services/FakeHttpService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int roundTimeoutMs = 60'000;

struct Round {
    const char* name;
    int requests;
    bool distinctClients;
    qsizetype bodyBytes; // 0: a normal caption
};

struct Tally {
    QMap<int, int> statuses;
    int failedConnections = 0;
};

QByteArray httpRequest(int index, const Round& round) {
    const QByteArray body =
        round.bodyBytes > 0
            ? QByteArray(round.bodyBytes, '{')
            : QJsonDocument(
                  QJsonObject{{"kind", "en-ko"},
                              {"text", QStringLiteral("Caption sentence %1.").arg(index)}})
                  .toJson(QJsonDocument::Compact);
    const QByteArray client = round.distinctClients ? "10.1." + QByteArray::number(index / 250) +
                                                          "." + QByteArray::number(index % 250 + 1)
                                                    : QByteArray("10.0.0.1");
    return "POST /v1/complete HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           "X-Real-IP: " +
           client + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// The status once the whole answer is in, else nothing yet.
std::optional<int> completeStatus(const QByteArray& received) {
    const qsizetype headerEnd = received.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return std::nullopt;
    const QByteArray headers = received.left(headerEnd).toLower();
    const qsizetype lengthAt = headers.indexOf("content-length:");
    const qint64 length =
        lengthAt < 0 ? 0 : headers.mid(lengthAt + 15).split('\r').first().trimmed().toLongLong();
    if (received.size() < headerEnd + 4 + length)
        return std::nullopt;
    return received.mid(9, 3).toInt();
}

// All requests of a round at once, each on its own connection.
Tally runRound(quint16 port, const Round& round) {
    Tally tally;
    int finished = 0;
    QEventLoop loop;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    auto finish = [&](QTcpSocket* socket, std::optional<int> status) {
        if (socket->property("done").toBool())
            return;
        socket->setProperty("done", true);
        status ? ++tally.statuses[*status] : ++tally.failedConnections;
        socket->abort();
        if (++finished == round.requests)
            loop.quit();
    };
    for (int i = 0; i < round.requests; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        QTcpSocket* raw = socket.get();
        const QByteArray request = httpRequest(i, round);
        QObject::connect(raw, &QTcpSocket::connected, [raw, request] { raw->write(request); });
        QObject::connect(raw, &QTcpSocket::readyRead, [raw, finish] {
            raw->setProperty("received", raw->property("received").toByteArray() + raw->readAll());
            if (const auto status = completeStatus(raw->property("received").toByteArray()))
                finish(raw, status);
        });
        QObject::connect(raw, &QTcpSocket::errorOccurred, [raw, finish] {
            finish(raw, completeStatus(raw->property("received").toByteArray()));
        });
        raw->connectToHost(QHostAddress::LocalHost, port);
        sockets.push_back(std::move(socket));
    }
    QTimer::singleShot(roundTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    tally.failedConnections += round.requests - finished;
    return tally;
}

QByteArray peakMemory(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return "unknown";
    const QRegularExpression peak("VmHWM:\\s*(\\d+ kB)");
    return peak.match(QString::fromLatin1(status.readAll())).captured(1).toLatin1();
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    FakeHttpService upstream;
    upstream.answerJson(
        200,
        {{"choices", QJsonArray{QJsonObject{{"message", QJsonObject{{"content", "자막 문장"}}}}}}});

    QProcess relay;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NEBIUS_TOKEN_FACTORY_KEY", "bench-key");
    relay.setProcessEnvironment(environment);
    relay.setReadChannel(QProcess::StandardError);
    relay.start(RELAYO_RELAY_EXECUTABLE, {"--listen", "127.0.0.1:0", "--upstream",
                                          upstream.url("/v1/chat/completions").toString()});
    QByteArray log;
    const QRegularExpression listening("listening on port (\\d+)");
    while (!listening.match(log).hasMatch()) {
        if (!relay.waitForReadyRead(30'000)) {
            std::fprintf(stderr, "the relay did not start: %s\n", log.constData());
            return 1;
        }
        log += relay.readAllStandardError();
    }
    const quint16 port = listening.match(log).captured(1).toUShort();
    std::printf("relay started, peak memory %s\n", peakMemory(relay.processId()).constData());
    // Keep the relay's log pipe drained; its lines are only counted.
    int logLines = 0;
    QObject::connect(&relay, &QProcess::readyReadStandardError,
                     [&] { logLines += relay.readAllStandardError().count('\n'); });

    const Round rounds[] = {
        {"300 clients at once", 300, true, 0},
        {"300 requests at once from one client", 300, false, 0},
        {"100 bodies of 1 MiB at once", 100, true, 1024 * 1024},
        {"300 clients at once, again", 300, true, 0},
    };
    for (const Round& round : rounds) {
        QElapsedTimer elapsed;
        elapsed.start();
        const Tally tally = runRound(port, round);
        std::printf("%-38s %5lld ms:", round.name, static_cast<long long>(elapsed.elapsed()));
        for (auto it = tally.statuses.begin(); it != tally.statuses.end(); ++it)
            std::printf(" %d×%d", it.value(), it.key());
        std::printf(", failed connections %d; relay peak memory %s\n", tally.failedConnections,
                    peakMemory(relay.processId()).constData());
    }
    std::printf("upstream requests %lld\n", static_cast<long long>(upstream.requests().size()));

    relay.terminate();
    relay.waitForFinished(90'000);
    std::printf("relay exit code after SIGTERM %d, %d log lines\n", relay.exitCode(), logLines);
    return 0;
}

// relayo-translate: translates one text with the app's client and settings (the environment
// first, then the service chosen in the window), printing the text as it streams in and the
// final translation as the last line.

#include "app/services/keystore/TranslationSettingsStore.h"
#include "app/services/network/NebiusClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <variant>

namespace {

using namespace std::chrono_literals;

const char* const usage = "usage: ./relayo translate [--to ko|en] TEXT";

struct Request {
    TranslationDirection direction = TranslationDirection::englishToKorean;
    QString text;
};

std::variant<Request, QString> parse(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption to(QStringLiteral("to"), QStringLiteral("Language to translate into."),
                                QStringLiteral("ko|en"), QStringLiteral("ko"));
    parser.addOption(to);
    parser.addPositionalArgument(QStringLiteral("TEXT"), QStringLiteral("The text to translate."));
    if (!parser.parse(arguments))
        return parser.errorText();
    Request request;
    request.text = parser.positionalArguments().join(u' ').trimmed();
    if (request.text.isEmpty())
        return QStringLiteral("no text to translate");
    const QString language = parser.value(to);
    if (language == QLatin1String("en"))
        request.direction = TranslationDirection::koreanToEnglish;
    else if (language != QLatin1String("ko"))
        return QStringLiteral("--to takes ko or en");
    return request;
}

// Prints what the stream added since the last call, on the line being written.
class StreamPrinter {
public:
    void show(const QString& text) {
        const QString added =
            text.startsWith(m_printed) ? text.mid(m_printed.size()) : QStringLiteral("\n") + text;
        m_printed = text;
        std::fputs(added.toUtf8().constData(), stdout);
        std::fflush(stdout);
    }
    void endLine() const {
        if (!m_printed.isEmpty())
            std::fputs("\n", stdout);
    }

private:
    QString m_printed;
};

QCoro::Task<int> translate(Request request) {
    TranslationSettingsStore store(std::make_unique<QSettings>(), 10s);
    NebiusClient client;
    client.useSettings(co_await store.load());
    StreamPrinter printer;
    const auto show = [&printer](const QString& text) { printer.show(text); };
    try {
        const QString translation =
            request.direction == TranslationDirection::englishToKorean
                ? co_await client.translateToKorean(request.text, {}, show)
                : co_await client.translateToEnglish(request.text, {}, show);
        printer.endLine();
        std::printf("%s\n", translation.toUtf8().constData());
    } catch (const std::exception& error) {
        printer.endLine();
        const QString reason = QString::fromUtf8(error.what()).simplified();
        std::fprintf(stderr, "translate: %s\n", reason.toUtf8().constData());
        co_return 1;
    }
    co_return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // The window's settings file.
    QCoreApplication::setOrganizationName(QStringLiteral("Relayo"));
    QCoreApplication::setApplicationName(QStringLiteral("Relayo"));
    const auto request = parse(app.arguments());
    if (const auto* reason = std::get_if<QString>(&request)) {
        std::fprintf(stderr, "translate: %s (%s)\n", reason->toUtf8().constData(), usage);
        return 2;
    }
    QTimer::singleShot(0, &app, [&request] {
        translate(std::get<Request>(request)).then([](int status) {
            QCoreApplication::exit(status);
        });
    });
    return app.exec();
}

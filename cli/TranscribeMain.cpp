// relayo-transcribe: runs the streaming recognizer over a sound file, printing each new running
// transcript on a line of its own and the final text as the last line.

#include "cli/FileTranscription.h"
#include "cli/TranscribeOptions.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

void printLine(const QString& text) {
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

// The first line of a failure's description: libtorch's carry a trace after it.
QString reasonOf(const std::exception& error) {
    return QString::fromUtf8(error.what()).section(u'\n', 0, 0);
}

QCoro::Task<int> transcribe(TranscribeOptions options) {
    try {
        printLine(
            co_await FileTranscription::run(options.modelFolder, options.audioPath, printLine));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "transcribe: %s\n", qPrintable(reasonOf(error)));
        co_return 1;
    }
    co_return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const auto options = TranscribeOptions::parse(app.arguments());
    if (const auto* reason = std::get_if<QString>(&options)) {
        std::fprintf(stderr, "transcribe: %s (usage: ./relayo transcribe [--model DIR] AUDIO)\n",
                     qPrintable(*reason));
        return 2;
    }
    QTimer::singleShot(0, &app, [&options] {
        transcribe(std::get<TranscribeOptions>(options)).then([](int status) {
            QCoreApplication::exit(status);
        });
    });
    return app.exec();
}

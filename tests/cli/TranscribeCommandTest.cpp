// relayo-transcribe as a program: a tiny model folder and a float WAV file written here.

#include "speech-engine/core/ModelNames.h"
#include "tests/services/CaptionTestModels.h"
#include "tests/support/WriteFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

namespace {

enum Word { hello, world, again };

// Exact float samples, so that the tiny models read the values written.
void writeFloatWav(const QString& path, const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    QVERIFY(file);
    sf_writef_float(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);
}

struct Run {
    int exitCode;
    QStringList output;
    QStringList errors;
};

Run transcribe(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(RELAYO_TRANSCRIBE), arguments);
    process.waitForFinished(120000);
    const auto lines = [](const QByteArray& text) {
        return QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
    };
    return {process.exitCode(), lines(process.readAllStandardOutput()),
            lines(process.readAllStandardError())};
}

} // namespace

class TranscribeCommandTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;

    QString path(const QString& name) const { return m_root.filePath(name); }

private slots:
    void initTestCase() {
        const QStringList words{"▁hello", "▁world", "▁again"};
        CaptionTestModels::writeSpelling(path("model"), words);
        CaptionTestModels::writeSpelling(path("incomplete"), words);
        QFile::remove(QDir(path("incomplete")).filePath(ModelNames::NemotronStreaming::jointFile));
        // Two chunks spelling hello, then world, then a third of a chunk spelling again.
        std::vector<float> samples(2 * CaptionTestModels::chunkSamples + 3000, 0.0f);
        samples[160 * 3] = hello + 1;
        samples[CaptionTestModels::chunkSamples + 160 * 10] = world + 1;
        samples[2 * CaptionTestModels::chunkSamples + 160 * 5] = again + 1;
        writeFloatWav(path("words.wav"), samples);
        writeFile(path("text.wav"), "not a sound file");
    }

    // A run prints each running transcript, then the final text; a failed one, one line.
    void runs_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("output");
        QTest::addColumn<QString>("error"); // part of the one error line
        const auto model = "--model";
        QTest::newRow("words") << QStringList{model, path("model"), path("words.wav")} << 0
                               << QStringList{"hello", "hello world", "hello world again"}
                               << QString();
        QTest::newRow("no audio") << QStringList{model, path("model")} << 2 << QStringList()
                                  << "Expected one audio file.";
        QTest::newRow("incomplete model folder")
            << QStringList{model, path("incomplete"), path("words.wav")} << 1 << QStringList()
            << "is incomplete: joint.pt is missing";
        QTest::newRow("not audio") << QStringList{model, path("model"), path("text.wav")} << 1
                                   << QStringList() << "Could not open audio file";
    }
    void runs() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        const auto run = transcribe(arguments);
        QTEST(run.exitCode, "exitCode");
        QTEST(run.output, "output");
        QCOMPARE(run.errors.size(), error.isEmpty() ? 0 : 1);
        QVERIFY2(error.isEmpty() || run.errors[0].contains(error),
                 qPrintable(run.errors.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TranscribeCommandTest)
#include "TranscribeCommandTest.moc"

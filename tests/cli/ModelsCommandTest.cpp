// relayo-models on a model cache that holds both models: each folder, and how closely an int8
// folder follows float32 as its import measured it.

#include "speech-engine/core/ModelNames.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/import/Int8AgreementJson.h"
#include "speech-engine/import/ModelImporter.h"
#include "tests/speech-engine/TestHelpers.h"
#include "tests/speech-engine/import/NemoFixture.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A model folder as imported before manifests, its metadata holding `metadata`.
void writeModelFolder(const QString& folder, const QJsonObject& metadata) {
    using namespace ModelNames::NemotronStreaming;
    for (const auto file : {preprocessorFile, encoderPath, decoderFile, jointFile, tokenizer})
        writeTestFile(QDir(folder).filePath(file), "{}");
    writeTestFile(QDir(folder).filePath(ModelNames::NemotronStreaming::metadata),
                  QJsonDocument(metadata).toJson());
}

// The program's output line by line; it must succeed.
QStringList modelsOutput(const QString& dataHome) {
    QProcess process;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", dataHome);
    process.setProcessEnvironment(environment);
    process.start(RELAYO_MODELS_PROGRAM, QStringList());
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return {"failed: " + QString::fromUtf8(process.readAllStandardError())};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed().split('\n');
}

} // namespace

class ModelsCommandTest : public QObject {
    Q_OBJECT

private slots:
    // English imported as int8 here; Korean with a record under the bound, then with none.
    void printsEachFoldersAgreement() {
        QTemporaryDir dataHome;
        const auto root = dataHome.filePath("Murmurvale/Models");
        const auto english = NemotronModelDownloader::modelFolder(
            HubModel::english(Repo::nemotronStreaming560), root);
        const auto korean = NemotronModelDownloader::modelFolder(HubModel::korean(), root);
        ModelImporter::importCheckpoint(NemoFixture::checkpointPath("en"), english.toStdString(),
                                        {560, ModelPrecision::int8, {}, {}});
        Int8Agreement stray{"espeak-ng", {}, {0.9990, 0.04}, {{0.99995, 0.004}, {0.9991, 0.03}}};
        writeModelFolder(korean, {{Int8AgreementJson::key, Int8AgreementJson::toJson(stray)}});

        const auto lines = modelsOutput(dataHome.path());
        const auto koreanAt = lines.indexOf(
            QRegularExpression(".*" + QRegularExpression::escape("already in " + korean)));
        QVERIFY2(koreanAt >= 2 && lines[0].endsWith("already in " + english),
                 qPrintable(lines.join('\n')));
        QVERIFY2(lines[1].contains(QRegularExpression(
                     "int8 against float32: cosine 0\\.99\\d+, max difference \\d+\\.\\d\\d % "
                     ".*; worst layer [01]: cosine 0\\.99\\d+, \\d+\\.\\d\\d %")),
                 qPrintable(lines[1]));
        const auto imported = Int8AgreementJson::fromMetadata(
            QJsonDocument::fromJson(readTestFile(english + "/metadata.json")).object());
        QVERIFY(imported && imported->measured());
        QCOMPARE(koreanAt, imported->withinBound() ? 2 : 3);
        QCOMPARE(lines.mid(koreanAt + 1).size(), 2);
        QVERIFY2(lines[koreanAt + 1].contains("cosine 0.999000, max difference 4.00 %") &&
                     lines[koreanAt + 1].contains("worst layer 1: cosine 0.999100, 3.00 %"),
                 qPrintable(lines[koreanAt + 1]));
        QVERIFY2(lines[koreanAt + 2].contains("warning:"), qPrintable(lines[koreanAt + 2]));

        // A folder imported before the check, or as float32, says nothing more.
        writeModelFolder(korean, {{"precision", "fp32"}});
        QCOMPARE(modelsOutput(dataHome.path()).mid(koreanAt), QStringList{lines[koreanAt]});
    }
};

QTEST_GUILESS_MAIN(ModelsCommandTest)
#include "ModelsCommandTest.moc"

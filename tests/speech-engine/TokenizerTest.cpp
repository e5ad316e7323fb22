#include "speech-engine/Tokenizer.h"
#include "speech-engine/StreamingAsrUtils.h"
#include "tests/speech-engine/Failure.h"
#include "tests/speech-engine/TestFiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <vector>

namespace {

const QByteArray wordTable = "{\"0\": \"\u2581he\", \"1\": \"llo\", \"2\": \"\u2581world\", "
                             "\"3\": \"\u2581a\", \"4\": \"b\", \"5\": \"\u2581\", "
                             "\"6\": \"\\t\", \"7\": \"\\n\", \"-3\": \"minus\"}";
const QByteArray numberedTable = "{\"7\": \"seven\", \"x7\": \"no\", \"+8\": \"eight\", "
                                 "\"9x\": \"no\", \"\": \"no\", \"+-1\": \"no\", "
                                 "\"99999999999999999999\": \"no\", \"\u0663\": \"no\"}";
const QByteArray taggedTable =
    "{\"0\": \"\u2581the\", \"1\": \"<ko-KR>\", \"2\": \"\u2581\ud68c\uc758\", "
    "\"3\": \"\u2581\", \"4\": \"\uac10\uc0ac\", \"5\": \"<en-US>\", "
    "\"6\": \"<ko-kr>\"}";
const QString langTagPattern = QStringLiteral("\\s*<[a-z]{2}-[A-Z]{2}>");

} // namespace

class TokenizerTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

    QString tokenizerFile(const QByteArray& content) {
        return writeTestFile(folder.filePath("tokenizer.json"), content);
    }

private slots:
    void decodes_data() {
        QTest::addColumn<std::vector<std::int64_t>>("ids");
        QTest::addColumn<QString>("text");
        QTest::newRow("words") << std::vector<std::int64_t>{0, 1, 2} << "hello world";
        QTest::newRow("nothing") << std::vector<std::int64_t>{} << "";
        QTest::newRow("unknown id skipped") << std::vector<std::int64_t>{3, 1024, 4} << "ab";
        QTest::newRow("lone markers trimmed") << std::vector<std::int64_t>{5, 3, 5} << "a";
        QTest::newRow("inner spaces kept") << std::vector<std::int64_t>{3, 5, 2} << "a  world";
        QTest::newRow("tab trimmed, line break kept")
            << std::vector<std::int64_t>{6, 3, 7} << "a\n";
        QTest::newRow("negative id") << std::vector<std::int64_t>{-3, 3} << "minus a";
    }
    void decodes() {
        QFETCH(std::vector<std::int64_t>, ids);
        QFETCH(QString, text);
        const Tokenizer tokenizer(tokenizerFile(wordTable));
        QCOMPARE(tokenizer.decode(ids), text);
        QCOMPARE(StreamingAsrUtils::decodeTokens(ids, tokenizer), text);
    }

    // The tags go from the decoded text with the spaces in front of them, not as ids.
    void stripsLanguageTags_data() {
        QTest::addColumn<std::vector<std::int64_t>>("ids");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("text");
        using Ids = std::vector<std::int64_t>;
        QTest::newRow("leading tag")
            << Ids{1, 0, 2} << langTagPattern << QStringLiteral("the 회의");
        QTest::newRow("tag after a word start")
            << Ids{0, 3, 1, 2} << langTagPattern << QStringLiteral("the 회의");
        QTest::newRow("tag inside a word")
            << Ids{2, 1, 4} << langTagPattern << QStringLiteral("회의감사");
        QTest::newRow("only tags") << Ids{5, 1} << langTagPattern << QString();
        QTest::newRow("not a tag") << Ids{0, 6} << langTagPattern << QStringLiteral("the<ko-kr>");
        QTest::newRow("no pattern")
            << Ids{0, 3, 1, 2} << QString() << QStringLiteral("the <ko-KR> 회의");
    }
    void stripsLanguageTags() {
        QFETCH(std::vector<std::int64_t>, ids);
        QFETCH(QString, pattern);
        QFETCH(QString, text);
        QCOMPARE(Tokenizer(tokenizerFile(taggedTable), pattern).decode(ids), text);
    }

    void badPatternFails() {
        const auto description =
            failureOf([&] { Tokenizer(tokenizerFile(taggedTable), QStringLiteral("<(")); });
        QCOMPARE(description, "Speech recognition failed: Invalid lang_tag_pattern");
    }

    void onlyDecimalKeysBecomeIds() {
        const Tokenizer tokenizer(tokenizerFile(numberedTable));
        QCOMPARE(tokenizer.vocab().size(), 8);
        for (std::int64_t id : {7, 8})
            QCOMPARE(tokenizer.decode(std::vector<std::int64_t>{id}), id == 7 ? "seven" : "eight");
        QCOMPARE(tokenizer.decode(std::vector<std::int64_t>{3, 9, -1}), "");
    }

    void badFilesFail_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("failure");
        const QString format = "Speech recognition failed: Invalid tokenizer.json format";
        QTest::newRow("number value") << QByteArray(R"({"0": "a", "1": 2})") << format;
        QTest::newRow("nested") << QByteArray(R"({"0": {"t": "a"}})") << format;
        QTest::newRow("array") << QByteArray(R"(["a", "b"])") << format;
        QTest::newRow("truncated") << QByteArray("{\"0\": \"a") << "is not valid JSON";
        QTest::newRow("not UTF-8") << QByteArray("{\"0\": \"\xff\"}") << "is not valid JSON";
    }
    void badFilesFail() {
        QFETCH(QByteArray, json);
        QFETCH(QString, failure);
        const auto description = failureOf([&] { Tokenizer(tokenizerFile(json)); });
        QVERIFY2(description.contains(failure), qPrintable(description));
    }

    void missingFileFails() {
        QVERIFY(failureOf([&] {
                    Tokenizer(folder.filePath("absent.json"));
                }).startsWith("Could not read"));
    }
};

QTEST_GUILESS_MAIN(TokenizerTest)
#include "TokenizerTest.moc"

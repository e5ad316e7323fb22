#include "relay/RelayRequest.h"

#include <QTest>

class RelayRequestTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status"); // 200: a request
        QTest::addColumn<int>("direction");
        QTest::addColumn<QString>("text");

        const int toKorean = int(TranslationDirection::englishToKorean);
        const int toEnglish = int(TranslationDirection::koreanToEnglish);
        QTest::newRow("caption") << QByteArray(R"({"kind":"en-ko","text":"Hi there"})") << 200
                                 << toKorean << "Hi there";
        QTest::newRow("reply, other members ignored")
            << QByteArray(R"({"text":" 네 ","kind":"ko-en","model":"x"})") << 200 << toEnglish
            << " 네 ";
        QTest::newRow("text at the bound")
            << (R"({"kind":"en-ko","text":")" + QByteArray(2000, 'a') + R"("})") << 200 << toKorean
            << QString(2000, u'a');

        QTest::newRow("not JSON") << QByteArray("kind=en-ko") << 400 << 0 << "";
        QTest::newRow("empty body") << QByteArray() << 400 << 0 << "";
        QTest::newRow("array") << QByteArray(R"(["en-ko","Hi"])") << 400 << 0 << "";
        QTest::newRow("unknown kind")
            << QByteArray(R"({"kind":"en-fr","text":"Hi"})") << 400 << 0 << "";
        QTest::newRow("kind in capitals")
            << QByteArray(R"({"kind":"EN-KO","text":"Hi"})") << 400 << 0 << "";
        QTest::newRow("kind not a string")
            << QByteArray(R"({"kind":1,"text":"Hi"})") << 400 << 0 << "";
        QTest::newRow("no text") << QByteArray(R"({"kind":"en-ko"})") << 400 << 0 << "";
        QTest::newRow("text not a string")
            << QByteArray(R"({"kind":"en-ko","text":["Hi"]})") << 400 << 0 << "";
        QTest::newRow("only white space")
            << QByteArray(R"({"kind":"en-ko","text":" \n\t"})") << 400 << 0 << "";
        QTest::newRow("text over the bound")
            << (R"({"kind":"en-ko","text":")" + QByteArray(2001, 'a') + R"("})") << 413 << 0 << "";
        QTest::newRow("body over the bound")
            << (R"({"kind":"en-ko","text":"Hi","pad":")" + QByteArray(16 * 1024, ' ') + R"("})")
            << 413 << 0 << "";
    }

    void parse() {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(int, direction);
        QFETCH(QString, text);

        const auto parsed = RelayRequest::parse(body, RelayLimits{});
        if (status == 200) {
            const auto* request = std::get_if<RelayRequest>(&parsed);
            QVERIFY(request);
            QCOMPARE(int(request->direction), direction);
            QCOMPARE(request->text, text);
        } else {
            const auto* refusal = std::get_if<RelayResponse>(&parsed);
            QVERIFY(refusal);
            QCOMPARE(refusal->status, status);
            QVERIFY(!refusal->body.value("message").toString().isEmpty());
        }
    }
};

QTEST_APPLESS_MAIN(RelayRequestTest)
#include "RelayRequestTest.moc"

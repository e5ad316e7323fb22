// relayo-translate as a program, against a loopback chat-completions server named in the
// environment, with settings and keyring of its own.

#include "tests/services/ChatAnswers.h"
#include "tests/services/FakeHttpService.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

struct Run {
    int exitCode = -1;
    QStringList output;
    QStringList errors;
};

} // namespace

class TranslateCommandTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    std::unique_ptr<FakeHttpService> m_server;

    // The server lives on this test's event loop, so the program is awaited with it running.
    Run translate(const QStringList& arguments, bool withServer = true) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"NEBIUS_TOKEN_FACTORY_KEY", "RLY_TRANSLATION_URL",
                                 "RLY_TRANSLATION_MODEL", "RLY_TRANSLATION_KEY", "RLY_RELAY_URL"})
            environment.remove(QString::fromLatin1(name));
        environment.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
        if (withServer) {
            environment.insert("RLY_TRANSLATION_URL", m_server->url("/v1").toString());
            environment.insert("RLY_TRANSLATION_MODEL", "llama-3");
            environment.insert("RLY_TRANSLATION_KEY", "sk-cli-secret");
        }
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_home.path());
        process.start(QStringLiteral(RELAYO_TRANSLATE), arguments);
        if (!process.waitForStarted(30'000))
            return {};
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 120'000))
            qFatal("relayo-translate did not finish");
        const auto lines = [](const QByteArray& text) {
            return QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
        };
        return {process.exitCode(), lines(process.readAllStandardOutput()),
                lines(process.readAllStandardError())};
    }

private slots:
    void init() { m_server = std::make_unique<FakeHttpService>(); }

    // Streamed or whole, the server's answer is the last line; the stream shows before it.
    void lastLineIsTheServersAnswer() {
        m_server->answerStream(ChatAnswers::streamed({u"Yes,"_s, u" I can"_s, u" join."_s}));
        const Run streamed = translate({"--to", "en", u"네, 참석할 수 있어요."_s});
        QCOMPARE(streamed.exitCode, 0);
        QCOMPARE(streamed.output, (QStringList{u"Yes, I can join."_s, u"Yes, I can join."_s}));
        const auto request = m_server->requests().value(0);
        QCOMPARE(request.headers.value("authorization"), "Bearer sk-cli-secret");
        QCOMPARE(request.json().value("model").toString(), u"llama-3"_s);

        m_server->answerJson(200, ChatAnswers::whole(u"\n회의를 시작할게요. "_s));
        const Run whole = translate({u"Let's start"_s, u"the meeting."_s});
        QCOMPARE(whole.exitCode, 0);
        QCOMPARE(whole.output.value(whole.output.size() - 1), u"회의를 시작할게요."_s);
        const QJsonArray messages =
            m_server->requests().value(1).json().value("messages").toArray();
        QCOMPARE(messages.at(1)["content"].toString(), u"Let's start the meeting."_s);
    }

    // One line of reason on the error stream, never the key; usage mistakes differ from
    // failed translations.
    void failuresExitWithOneLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("withServer");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("refused key")
            << QStringList{u"Hello"_s} << true << 1 << u"API 키를 거절했습니다"_s;
        QTest::newRow("no service")
            << QStringList{u"Hello"_s} << false << 1 << u"번역 서비스가 정해지지 않았습니다"_s;
        QTest::newRow("unknown language")
            << QStringList{"--to", "fr", u"Hello"_s} << true << 2 << u"--to takes ko or en"_s;
        QTest::newRow("no text") << QStringList{"--to", "ko"} << true << 2
                                 << u"no text to translate"_s;
    }
    void failuresExitWithOneLine() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, withServer);
        QFETCH(int, exitCode);
        QFETCH(QString, reason);
        m_server->answer(401, "bad key sk-cli-secret");
        const Run run = translate(arguments, withServer);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.output, QStringList());
        QCOMPARE(run.errors.size(), 1);
        QVERIFY2(run.errors[0].startsWith(u"translate: "_s) && run.errors[0].contains(reason),
                 qPrintable(run.errors[0]));
        QVERIFY(!run.errors[0].contains(u"sk-cli-secret"_s));
    }
};

QTEST_GUILESS_MAIN(TranslateCommandTest)
#include "TranslateCommandTest.moc"

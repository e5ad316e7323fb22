#include "app/ui/GuideParser.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Kind = GuideBlock::Kind;

namespace {

const GuideBlock gap{Kind::gap, {}};

GuideBlock line(const QString& text) {
    return {Kind::line, text};
}

void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class GuideParserTest : public QObject {
    Q_OBJECT

private slots:
    void markup_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<GuideBlock>>("blocks");
        QTest::newRow("title and heading")
            << "Relayo\n=====\nStart\n-----\nA line"
            << QList<GuideBlock>{{Kind::title, "Relayo"}, {Kind::heading, "Start"}, line("A line")};
        QTest::newRow("underline trimmed, text kept")
            << "  Start \n \t--- \t\nx"
            << QList<GuideBlock>{{Kind::heading, "  Start "}, line("x")};
        QTest::newRow("blank lines collapse")
            << "a\n\n \n\t\nb" << QList<GuideBlock>{line("a"), gap, line("b")};
        QTest::newRow("leading blank line") << "\na" << QList<GuideBlock>{gap, line("a")};
        QTest::newRow("created by skipped") << "Created by Someone\n Created by Someone"
                                            << QList<GuideBlock>{line(" Created by Someone")};
        QTest::newRow("lone underline")
            << "=====\nafter" << QList<GuideBlock>{line("====="), line("after")};
        QTest::newRow("mixed underline is text") << "a\n=-=\n"
                                                 << QList<GuideBlock>{line("a"), line("=-="), gap};
        QTest::newRow("underline last line") << "a\n---" << QList<GuideBlock>{{Kind::heading, "a"}};
        QTest::newRow("CRLF lines, as a Windows editor saves them")
            << "Relayo\r\n===\r\nStart\r\n---\r\n\r\n\r\nA line\r\n"
            << QList<GuideBlock>{
                   {Kind::title, "Relayo"}, {Kind::heading, "Start"}, gap, line("A line"), gap};
        QTest::newRow("lone carriage returns and line separators")
            << QStringLiteral("a\rb\u2028c") << QList<GuideBlock>{line("a"), line("b"), line("c")};
    }
    void markup() {
        QFETCH(QString, text);
        QFETCH(QList<GuideBlock>, blocks);
        QCOMPARE(GuideParser::parse(text), blocks);
    }

    void fileLookupOrder() {
        QTemporaryDir dir;
        QVERIFY(!GuideParser::guideFile(dir.path()));
        const QString decomposed =
            QStringLiteral("사용법.txt").normalized(QString::NormalizationForm_D);
        write(dir.filePath(decomposed), "decomposed");
        QCOMPARE(GuideParser::guideFile(dir.path()), dir.filePath(decomposed));
        write(dir.filePath(QStringLiteral("Guide.txt")), "guide");
        QCOMPARE(GuideParser::guideFile(dir.path()), dir.filePath(QStringLiteral("Guide.txt")));
    }

    void missingOrUnreadableGuideAsksToReinstall() {
        const QList<GuideBlock> reinstall = {
            line(QStringLiteral("사용법 파일을 찾지 못했어요. 앱을 다시 설치해 주세요."))};
        QTemporaryDir dir;
        QCOMPARE(GuideParser::load(dir.path()), reinstall);
        write(dir.filePath(QStringLiteral("Guide.txt")), "bad \xff\xfe bytes");
        QCOMPARE(GuideParser::load(dir.path()), reinstall);
    }
};

QTEST_GUILESS_MAIN(GuideParserTest)
#include "GuideParserTest.moc"

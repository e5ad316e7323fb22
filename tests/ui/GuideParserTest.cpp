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
        QTest::newRow("blank lines collapse")
            << "a\n\n \n\t\nb" << QList<GuideBlock>{line("a"), gap, line("b")};
        QTest::newRow("created by skipped") << "Created by Someone\n Created by Someone"
                                            << QList<GuideBlock>{line(" Created by Someone")};
        QTest::newRow("CRLF lines, as a Windows editor saves them")
            << "Relayo\r\n===\r\nStart\r\n---\r\n\r\n\r\nA line\r\n"
            << QList<GuideBlock>{
                   {Kind::title, "Relayo"}, {Kind::heading, "Start"}, gap, line("A line"), gap};
    }
    void markup() {
        QFETCH(QString, text);
        QFETCH(QList<GuideBlock>, blocks);
        QCOMPARE(GuideParser::parse(text), blocks);
    }

    // Guide.txt first, then the Korean name in any normalisation; an unreadable guide asks for a
    // reinstall.
    void guideFileIsFoundOrAReinstallAsked() {
        const QList<GuideBlock> reinstall = {
            line(QStringLiteral("사용법 파일을 찾지 못했어요. 앱을 다시 설치해 주세요."))};
        QTemporaryDir dir;
        QVERIFY(!GuideParser::guideFile(dir.path()));
        QCOMPARE(GuideParser::load(dir.path()), reinstall);
        const QString decomposed =
            QStringLiteral("사용법.txt").normalized(QString::NormalizationForm_D);
        write(dir.filePath(decomposed), "decomposed");
        QCOMPARE(GuideParser::guideFile(dir.path()), dir.filePath(decomposed));
        write(dir.filePath(QStringLiteral("Guide.txt")), "bad \xff\xfe bytes");
        QCOMPARE(GuideParser::guideFile(dir.path()), dir.filePath(QStringLiteral("Guide.txt")));
        QCOMPARE(GuideParser::load(dir.path()), reinstall);
    }
};

QTEST_GUILESS_MAIN(GuideParserTest)
#include "GuideParserTest.moc"

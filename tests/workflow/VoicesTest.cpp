#include "tests/workflow/WorkflowHarness.h"

#include <QSignalSpy>
#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

const QString voiceIDKey = QStringLiteral("elevenLabsVoiceID");

ElevenLabsVoice voice(const QString& id, std::optional<bool> isOwner = std::nullopt) {
    return {id, QStringLiteral("Voice ") + id, std::nullopt, isOwner};
}

QString connected(const QString& id) {
    return QStringLiteral("Connected securely. Output voice: Voice ") + id + QStringLiteral(".");
}

// Connects an account whose only voice is "a" and voices an answer with it.
void voiceWithElevenLabs(WorkflowHarness& h) {
    h.elevenLabs->voiceLists.answer({voice("a")});
    QCoro::waitFor(h->connectElevenLabs(QStringLiteral("key")));
    h->selectVoiceSource(VoiceSource::elevenLabs);
    h->setApprovedText(QStringLiteral("Hello."));
    QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
}

void refresh(WorkflowHarness& h, const QList<ElevenLabsVoice>& voices) {
    h.elevenLabs->voiceLists.answer(voices);
    QCoro::waitFor(h->refreshElevenLabsVoices());
}

} // namespace

class VoicesTest : public QObject {
    Q_OBJECT

private slots:
    void refreshChoosesTheVoice_data() {
        QTest::addColumn<QList<ElevenLabsVoice>>("voices");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("chosen");
        const QList<ElevenLabsVoice> mixed = {voice("a", false), voice("b"), voice("c", true),
                                              voice("d", true)};
        QTest::newRow("stored choice still there") << mixed << QVariant("b") << "b";
        QTest::newRow("stored choice gone: the own voice") << mixed << QVariant("x") << "c";
        QTest::newRow("nothing stored: the own voice") << mixed << QVariant() << "c";
        QTest::newRow("no own voice: the first")
            << QList{voice("a", false), voice("b")} << QVariant() << "a";
        // The stored choice stays for an account that lists its voice again.
        QTest::newRow("empty account") << QList<ElevenLabsVoice>() << QVariant("a") << "";
    }
    void refreshChoosesTheVoice() {
        QFETCH(QList<ElevenLabsVoice>, voices);
        QFETCH(QVariant, stored);
        QFETCH(QString, chosen);
        WorkflowHarness h;
        if (stored.isValid())
            h.storeSetting(voiceIDKey, stored);
        h.keychain->storedKey = QStringLiteral("key");
        QSignalSpy statuses(&h.model(), &AppViewModel::elevenLabsStatusChanged);
        QSignalSpy loading(&h.model(), &AppViewModel::isLoadingElevenLabsVoicesChanged);
        refresh(h, voices);
        QCOMPARE(h.elevenLabs->voiceListKeys, QStringList{QStringLiteral("key")});
        QCOMPARE(h->elevenLabsVoices(), voices);
        QCOMPARE(h->selectedElevenLabsVoiceID().value_or(QString()), chosen);
        QCOMPARE(h.storedSetting(voiceIDKey), chosen.isEmpty() ? stored : QVariant(chosen));
        QCOMPARE(statuses.first().first(), QStringLiteral("Loading your ElevenLabs voices…"));
        QCOMPARE(h->elevenLabsStatus(),
                 chosen.isEmpty()
                     ? QStringLiteral("Connected, but no personal or workspace voices were found.")
                     : connected(chosen));
        QCOMPARE(loading.size(), 2);
        QVERIFY(!h->isLoadingElevenLabsVoices());
    }

    void failedRefreshKeepsTheStoredChoice() {
        WorkflowHarness h;
        h.storeSetting(voiceIDKey, "b");
        h.keychain->storedKey = QStringLiteral("key");
        refresh(h, {voice("a"), voice("b")});
        h.elevenLabs->voiceLists.fail(QStringLiteral("ElevenLabs rejected the API key."));
        QCoro::waitFor(h->refreshElevenLabsVoices());
        QVERIFY(h->elevenLabsVoices().isEmpty() && !h->selectedElevenLabsVoiceID());
        QCOMPARE(h->elevenLabsStatus(), QStringLiteral("ElevenLabs rejected the API key."));
        QVERIFY(!h->isLoadingElevenLabsVoices());
        QCOMPARE(h.storedSetting(voiceIDKey), QVariant("b"));
        refresh(h, {voice("a", true), voice("b")});
        QCOMPARE(h->selectedElevenLabsVoiceID(), QStringLiteral("b"));
    }

    // A blank key or a failed save connects nothing; a good key is saved trimmed, never in the
    // settings, and a refresh that finds it gone disconnects.
    void connectingSavesTheTrimmedKey() {
        WorkflowHarness h;
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("   ")));
        QCOMPARE(h->elevenLabsStatus(), QStringLiteral("Enter an ElevenLabs API key first."));
        h.keychain->saves.fail(QStringLiteral("The key store is locked."));
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("sk-123")));
        QCOMPARE(h->elevenLabsStatus(), QStringLiteral("The key store is locked."));
        QVERIFY(!h.keychain->storedKey && !h->hasElevenLabsAPIKey());
        QVERIFY(h.elevenLabs->voiceListKeys.isEmpty());
        QCOMPARE(h->phase(), AssistPhase::idle);

        h.elevenLabs->voiceLists.answer({voice("a")});
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("  sk-123\n")));
        QCOMPARE(h.keychain->storedKey, QStringLiteral("sk-123"));
        QVERIFY(h->hasElevenLabsAPIKey());
        QCOMPARE(h.elevenLabs->voiceListKeys, QStringList{QStringLiteral("sk-123")});
        QCOMPARE(h->elevenLabsStatus(), connected("a"));
        h.keychain->storedKey = QString();
        QCoro::waitFor(h->refreshElevenLabsVoices());
        QVERIFY(!h->hasElevenLabsAPIKey());
        QCOMPARE(h->elevenLabsStatus(),
                 QStringLiteral("Add your API key to use your own ElevenLabs voice."));
        QCOMPARE(h.elevenLabs->voiceListKeys.size(), 1);
        h.close();
        QFile settings(h.settingsPath());
        QVERIFY(settings.open(QIODevice::ReadOnly) && !settings.readAll().contains("sk-123"));
    }

    void choosingAVoiceIsStoredAndAnnounced() {
        WorkflowHarness h;
        h->selectLocalVoice(QStringLiteral("daniel"));
        QCOMPARE(h.storedSetting(QStringLiteral("localVoiceID")), QVariant("daniel"));
        h.elevenLabs->voiceLists.answer({voice("a"), voice("b")});
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("key")));
        h->selectVoiceSource(VoiceSource::elevenLabs);
        QCOMPARE(h.storedSetting(QStringLiteral("voiceSource")), QVariant("ElevenLabs · Optional"));
        QSignalSpy names(&h.model(), &AppViewModel::activeVoiceNameChanged);
        h->selectElevenLabsVoice(QStringLiteral("b"));
        QCOMPARE(h->elevenLabsStatus(), connected("b"));
        QCOMPARE(h->activeVoiceName(), QStringLiteral("Voice b"));
        QCOMPARE(h.storedSetting(voiceIDKey), QVariant("b"));
        QCOMPARE(names.size(), 1);
        h->selectElevenLabsVoice(std::nullopt);
        QCOMPARE(h->elevenLabsStatus(), connected("b"));
        QVERIFY(!h.storedSetting(voiceIDKey).isValid());
        QCOMPARE(h->activeVoiceName(), QStringLiteral("Connect ElevenLabs"));
    }

    // ReplyTest changes the free voice and the source; here, the ElevenLabs voice changes.
    void anotherElevenLabsVoiceVoicesAnew_data() {
        QTest::addColumn<bool>("byRefresh");
        QTest::newRow("chosen") << false;
        QTest::newRow("the account no longer has the voice") << true;
    }
    void anotherElevenLabsVoiceVoicesAnew() {
        QFETCH(bool, byRefresh);
        WorkflowHarness h;
        voiceWithElevenLabs(h);
        refresh(h, byRefresh ? QList{voice("b")} : QList{voice("a"), voice("b")});
        if (!byRefresh) {
            h->selectElevenLabsVoice(QStringLiteral("b"));
            QVERIFY(!h->synthesizedURL());
        }
        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
        QCOMPARE(h.elevenLabs->synthesizedVoiceIDs, QStringList({"a", "b"}));
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Generated with Voice b. Preview it or send it to the meeting."));
    }

    void forgettingTheKeyClearsEverythingButTheSource() {
        WorkflowHarness h;
        voiceWithElevenLabs(h);
        QCoro::waitFor(h->forgetElevenLabsAPIKey());
        QVERIFY(!h.keychain->storedKey && !h->hasElevenLabsAPIKey());
        QVERIFY(h->elevenLabsVoices().isEmpty() && !h->selectedElevenLabsVoiceID());
        QVERIFY(!h->synthesizedURL() && !h.storedSetting(voiceIDKey).isValid());
        QCOMPARE(h->elevenLabsStatus(),
                 QStringLiteral("ElevenLabs API key removed from the keyring."));
        QCOMPARE(h->voiceSource(), VoiceSource::elevenLabs);
    }

    // A stored value other than a raw value falls back to the first free voice.
    void voiceChoiceIsRestored_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("localVoice");
        QTest::addColumn<VoiceSource>("restored");
        QTest::newRow("as stored") << "ElevenLabs · Optional"
                                   << "daniel" << VoiceSource::elevenLabs;
        QTest::newRow("case name") << "elevenLabs"
                                   << "daniel" << VoiceSource::local;
        QTest::newRow("plain full stop") << "ElevenLabs . Optional"
                                         << "" << VoiceSource::local;
        QTest::newRow("unknown preset") << "Local voices · Free"
                                        << "alex" << VoiceSource::local;
    }
    void voiceChoiceIsRestored() {
        QFETCH(QString, source);
        QFETCH(QString, localVoice);
        WorkflowHarness h;
        h.storeSetting(QStringLiteral("voiceSource"), source);
        h.storeSetting(QStringLiteral("localVoiceID"), localVoice);
        h.relaunch();
        QTEST(h->voiceSource(), "restored");
        QCOMPARE(h->selectedLocalVoiceID(), localVoice == "daniel" ? localVoice : "samantha");
    }
};

QTEST_GUILESS_MAIN(VoicesTest)
#include "VoicesTest.moc"

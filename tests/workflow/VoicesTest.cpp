#include "tests/workflow/WorkflowHarness.h"

#include <QSignalSpy>
#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

const QString voiceIDKey = QStringLiteral("elevenLabsVoiceID");
const QString noKeyStatus = QStringLiteral("Add your API key to use your own ElevenLabs voice.");

ElevenLabsVoice voice(const QString& id, std::optional<bool> isOwner = std::nullopt) {
    return {id, QStringLiteral("Voice ") + id, std::nullopt, isOwner};
}

// Connects an account whose only voice is "a" and voices an answer with it.
void voiceWithElevenLabs(WorkflowHarness& h) {
    h.elevenLabs->voiceLists.answer({voice("a")});
    QCoro::waitFor(h->connectElevenLabs(QStringLiteral("key")));
    h->selectVoiceSource(VoiceSource::elevenLabs);
    h->setApprovedText(QStringLiteral("Hello."));
    QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
}

QString connected(const QString& id) {
    return QStringLiteral("Connected securely. Output voice: Voice ") + id + QStringLiteral(".");
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
            << QList<ElevenLabsVoice>{voice("a", false), voice("b")} << QVariant() << "a";
    }

    void refreshChoosesTheVoice() {
        QFETCH(QList<ElevenLabsVoice>, voices);
        QFETCH(QVariant, stored);
        QFETCH(QString, chosen);
        WorkflowHarness h;
        if (stored.isValid())
            h.storeSetting(voiceIDKey, stored);
        h.keychain->storedKey = QStringLiteral("key");
        h.elevenLabs->voiceLists.answer(voices);
        QSignalSpy statuses(&h.model(), &AppViewModel::elevenLabsStatusChanged);
        QSignalSpy loading(&h.model(), &AppViewModel::isLoadingElevenLabsVoicesChanged);

        QCoro::waitFor(h->refreshElevenLabsVoices());

        QCOMPARE(h.elevenLabs->voiceListKeys, QStringList{QStringLiteral("key")});
        QCOMPARE(h->elevenLabsVoices(), voices);
        QCOMPARE(h->selectedElevenLabsVoiceID(), chosen);
        QCOMPARE(h.storedSetting(voiceIDKey).toString(), chosen);
        QCOMPARE(statuses.first().first().toString(),
                 QStringLiteral("Loading your ElevenLabs voices…"));
        QCOMPARE(h->elevenLabsStatus(), connected(chosen));
        QCOMPARE(loading.size(), 2);
        QVERIFY(!h->isLoadingElevenLabsVoices());
    }

    void emptyAccountSelectsNothing() {
        WorkflowHarness h;
        h.storeSetting(voiceIDKey, "a");
        h.keychain->storedKey = QStringLiteral("key");
        QCoro::waitFor(h->refreshElevenLabsVoices());
        QCOMPARE(h->selectedElevenLabsVoiceID(), std::nullopt);
        QCOMPARE(h->elevenLabsStatus(),
                 QStringLiteral("Connected, but no personal or workspace voices were found."));
        QCOMPARE(h.storedSetting(voiceIDKey).toString(), QStringLiteral("a"));
    }

    void failedRefreshKeepsTheStoredChoice() {
        WorkflowHarness h;
        h.storeSetting(voiceIDKey, "b");
        h.keychain->storedKey = QStringLiteral("key");
        h.elevenLabs->voiceLists.answer({voice("a"), voice("b")});
        QCoro::waitFor(h->refreshElevenLabsVoices());

        h.elevenLabs->voiceLists.fail(QStringLiteral("ElevenLabs rejected the API key."));
        QCoro::waitFor(h->refreshElevenLabsVoices());
        QVERIFY(h->elevenLabsVoices().isEmpty());
        QCOMPARE(h->selectedElevenLabsVoiceID(), std::nullopt);
        QCOMPARE(h->elevenLabsStatus(), QStringLiteral("ElevenLabs rejected the API key."));
        QVERIFY(!h->isLoadingElevenLabsVoices());
        QCOMPARE(h.storedSetting(voiceIDKey).toString(), QStringLiteral("b"));

        h.elevenLabs->voiceLists.answer({voice("a", true), voice("b")});
        QCoro::waitFor(h->refreshElevenLabsVoices());
        QCOMPARE(h->selectedElevenLabsVoiceID(), QStringLiteral("b"));
    }

    void refreshWithoutAKeyDisconnects_data() {
        QTest::addColumn<std::optional<QString>>("storedKey");
        QTest::newRow("no key") << std::optional<QString>();
        QTest::newRow("empty key") << std::optional<QString>(QString());
    }

    void refreshWithoutAKeyDisconnects() {
        QFETCH(std::optional<QString>, storedKey);
        WorkflowHarness h;
        h.keychain->storedKey = QStringLiteral("key");
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("key")));
        QVERIFY(h->hasElevenLabsAPIKey());
        h.keychain->storedKey = storedKey;

        QCoro::waitFor(h->refreshElevenLabsVoices());

        QVERIFY(!h->hasElevenLabsAPIKey());
        QCOMPARE(h->elevenLabsStatus(), noKeyStatus);
        QCOMPARE(h.elevenLabs->voiceListKeys.size(), 1);
    }

    // A blank key or a failed save connects nothing; a good key is saved trimmed, never in the
    // settings.
    void connectingSavesTheTrimmedKey() {
        WorkflowHarness h;
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("   ")));
        QCOMPARE(h->elevenLabsStatus(), QStringLiteral("Enter an ElevenLabs API key first."));
        h.keychain->saves.fail(QStringLiteral("The key store is locked."));
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("sk-123")));
        QCOMPARE(h->elevenLabsStatus(), QStringLiteral("The key store is locked."));
        QCOMPARE(h.keychain->storedKey, std::nullopt);
        QVERIFY(!h->hasElevenLabsAPIKey());
        QVERIFY(h.elevenLabs->voiceListKeys.isEmpty());
        QCOMPARE(h->phase(), AssistPhase::idle);

        h.elevenLabs->voiceLists.answer({voice("a")});
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("  sk-123\n")));
        QCOMPARE(h.keychain->storedKey, QStringLiteral("sk-123"));
        QVERIFY(h->hasElevenLabsAPIKey());
        QCOMPARE(h.elevenLabs->voiceListKeys, QStringList{QStringLiteral("sk-123")});
        QCOMPARE(h->elevenLabsStatus(), connected("a"));
        QVERIFY(!h.storedSetting(QStringLiteral("apiKey")).isValid());
    }

    void choosingAVoiceIsStoredAndAnnounced() {
        WorkflowHarness h;
        h.elevenLabs->voiceLists.answer({voice("a"), voice("b")});
        QCoro::waitFor(h->connectElevenLabs(QStringLiteral("key")));
        h->selectVoiceSource(VoiceSource::elevenLabs);
        QSignalSpy names(&h.model(), &AppViewModel::activeVoiceNameChanged);

        h->selectElevenLabsVoice(QStringLiteral("b"));
        QCOMPARE(h->elevenLabsStatus(), connected("b"));
        QCOMPARE(h->activeVoiceName(), QStringLiteral("Voice b"));
        QCOMPARE(h.storedSetting(voiceIDKey).toString(), QStringLiteral("b"));
        QCOMPARE(names.size(), 1);

        h->selectElevenLabsVoice(std::nullopt);
        QCOMPARE(h->elevenLabsStatus(), connected("b"));
        QVERIFY(!h.storedSetting(voiceIDKey).isValid());
        QCOMPARE(h->activeVoiceName(), QStringLiteral("Connect ElevenLabs"));
    }

    void choosingAnotherVoiceDiscardsTheAudio() {
        WorkflowHarness h;
        voiceWithElevenLabs(h);
        h.elevenLabs->voiceLists.answer({voice("a"), voice("b")});
        QCoro::waitFor(h->refreshElevenLabsVoices());
        QVERIFY(h->synthesizedURL());

        h->selectElevenLabsVoice(QStringLiteral("b"));
        QVERIFY(!h->synthesizedURL());
        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
        QCOMPARE(h.elevenLabs->synthesizedVoiceIDs, QStringList({"a", "b"}));
    }

    void forgettingTheKeyClearsEverythingButTheSource() {
        WorkflowHarness h;
        voiceWithElevenLabs(h);

        QCoro::waitFor(h->forgetElevenLabsAPIKey());

        QCOMPARE(h.keychain->storedKey, std::nullopt);
        QVERIFY(!h->hasElevenLabsAPIKey());
        QVERIFY(h->elevenLabsVoices().isEmpty());
        QCOMPARE(h->selectedElevenLabsVoiceID(), std::nullopt);
        QVERIFY(!h->synthesizedURL());
        QVERIFY(!h.storedSetting(voiceIDKey).isValid());
        QCOMPARE(h->elevenLabsStatus(),
                 QStringLiteral("ElevenLabs API key removed from the keyring."));
        QCOMPARE(h->voiceSource(), VoiceSource::elevenLabs);
        QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Connect ElevenLabs and select a voice, or switch to a free local "
                                "voice."));
    }

    void voiceChoiceSurvivesARelaunch() {
        WorkflowHarness h;
        h->selectVoiceSource(VoiceSource::elevenLabs);
        h->selectLocalVoice(QStringLiteral("daniel"));
        QCOMPARE(h.storedSetting(QStringLiteral("voiceSource")).toString(),
                 QStringLiteral("ElevenLabs · Optional"));

        h.relaunch();

        QCOMPARE(h->voiceSource(), VoiceSource::elevenLabs);
        QCOMPARE(h->selectedLocalVoiceID(), QStringLiteral("daniel"));
        QCOMPARE(h->activeVoiceName(), QStringLiteral("Connect ElevenLabs"));
    }

    void refreshChangingTheVoiceVoicesAnew() {
        WorkflowHarness h;
        voiceWithElevenLabs(h);

        h.elevenLabs->voiceLists.answer({voice("b")});
        QCoro::waitFor(h->refreshElevenLabsVoices());
        QVERIFY(h->synthesizedURL());
        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));

        QCOMPARE(h.elevenLabs->synthesizedVoiceIDs, QStringList({"a", "b"}));
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Generated with Voice b. Preview it or send it to the meeting."));
    }
};

QTEST_GUILESS_MAIN(VoicesTest)
#include "VoicesTest.moc"

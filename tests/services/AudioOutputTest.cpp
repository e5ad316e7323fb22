#include "app/services/audio/AudioOutput.h"
#include "app/core/ServiceError.h"
#include "app/platform/SoundFile.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/support/PrivateFile.h"
#include "tests/support/WaitUntil.h"

#include <QSignalSpy>
#include <QTest>

namespace {

constexpr int timeout = 60000;

using audiotest::SourceRecording;

// The sound server's sinks and their playback streams, one line each ("index\tname..." and
// "index\tsink...").
QStringList listed(const QString& what, const QString& server = {}) {
    return audiotest::pactl({"list", "short", what}, server).split(u'\n', Qt::SkipEmptyParts);
}

// The index of the sink `name` of `server`.
std::optional<quint32> sinkNamed(const QString& name, const QString& server) {
    for (const QString& line : listed("sinks", server))
        if (line.section(u'\t', 1, 1) == name)
            return line.section(u'\t', 0, 0).toUInt();
    return std::nullopt;
}

// Runs `action` just before the first call queued to `target` is delivered.
class BeforeQueuedCall : public QObject {
public:
    BeforeQueuedCall(QObject& target, std::function<void()> action) : m_action(std::move(action)) {
        target.installEventFilter(this);
    }
    bool ran() const { return !m_action; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MetaCall && m_action) {
            watched->removeEventFilter(this);
            std::exchange(m_action, nullptr)();
        }
        return false;
    }

private:
    std::function<void()> m_action;
};

qsizetype streamsOn(quint32 sink) {
    return std::ranges::count_if(listed("sink-inputs"), [sink](const QString& line) {
        return line.section(u'\t', 1, 1).toUInt() == sink;
    });
}

} // namespace

class AudioOutputTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        const auto devices = AudioOutput().devices();
        const auto feed = std::ranges::find(devices, "Microphone-Feed", &AudioDevice::name);
        QVERIFY(feed != devices.end());
        m_feed = feed->id;
    }

    void cleanupTestCase() {
        for (const QString& line : listed("modules"))
            if (line.contains("relayo_virtual_microphone"))
                audiotest::pactl({"unload-module", line.section(u'\t', 0, 0)});
    }

    void playsOnTheChosenSinkOrTheDefault() {
        AudioOutput output;
        SourceRecording feed("mic_feed.monitor");
        SourceRecording speakers("speakers.monitor");
        output.play(tone(440, 1), m_feed);
        QTRY_VERIFY_WITH_TIMEOUT(!output.isPlaying(), timeout);
        QTRY_VERIFY_WITH_TIMEOUT(audiotest::toneStrength(feed.samples(), 440) > 0.01, timeout);
        QVERIFY(audiotest::toneStrength(speakers.samples(), 440) < 0.001);

        output.play(tone(1000, 1), std::nullopt);
        QTRY_VERIFY_WITH_TIMEOUT(!output.isPlaying(), timeout);
        QTRY_VERIFY_WITH_TIMEOUT(audiotest::toneStrength(speakers.samples(), 1000) > 0.01, timeout);
        QVERIFY(audiotest::toneStrength(feed.samples(), 1000) < 0.001);
    }

    // The first file's completion is already queued when the second starts: it must not stop
    // the second, which a third then ends.
    void aNewPlaybackEndsTheOneBefore() {
        AudioOutput output;
        const QUrl longTone = tone(440, 60);
        const BeforeQueuedCall second(output, [&] { output.play(longTone, m_feed); });
        output.play(tone(440, 0.05), m_feed);
        WAIT_UNTIL(second.ran(), "the first playback's completion");
        QVERIFY(output.isPlaying());
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(m_feed), 1, timeout);
        output.play(tone(1000, 1), m_feed);
        QTRY_VERIFY_WITH_TIMEOUT(!output.isPlaying(), timeout);
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(m_feed), 0, timeout);

        // Stopped while the server is still making its stream, it must not stay there silent.
        output.play(tone(440, 60), m_feed);
        output.stop();
        output.play(tone(1000, 1), m_feed);
        QTRY_VERIFY_WITH_TIMEOUT(!output.isPlaying(), timeout);
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(m_feed), 0, timeout);
    }

    void failedPlaybackLeavesNothingPlaying() {
        AudioOutput output;
        output.play(tone(440, 60), m_feed);
        QVERIFY_THROWS_EXCEPTION(
            ServiceError,
            output.play(QUrl::fromLocalFile(m_folder.filePath("missing.wav")), std::nullopt));
        QVERIFY(!output.isPlaying());
        QVERIFY_THROWS_EXCEPTION(ServiceError, output.play(tone(440, 1), 99999));
    }

    void playbackEndedByTheServerIsReported() {
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        AudioOutput output(daemon.address());
        QSignalSpy failures(&output, &IAudioOutput::playbackFailed);
        output.play(tone(440, 60), std::nullopt);
        daemon.stop();
        QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 1, timeout);
        QVERIFY(!output.isPlaying());

        QVERIFY(daemon.start());
        output.play(tone(440, 0.2), std::nullopt);
        QTRY_VERIFY_WITH_TIMEOUT(!output.isPlaying(), timeout);
        QCOMPARE(failures.size(), 1);
    }

    // A sound server that is not there yet when the window opens is reached once it starts.
    void reachesAServerThatStartsLater() {
        audiotest::PrivateDaemon daemon;
        AudioOutput output(daemon.address());
        QVERIFY(output.devices().isEmpty());
        QVERIFY(daemon.start());
        QTRY_VERIFY_WITH_TIMEOUT(!output.devices().isEmpty(), timeout);
    }

    // Quotes and a leading dash stay one argument of the speech program.
    void synthesizesTheFreeVoiceIntoAPrivateFile() {
        auto output = std::make_unique<AudioOutput>();
        const QString text = R"(-v "quoted" 'text' -w /tmp/elsewhere.wav)";
        const QString file = runToCompletion(output->synthesize(text, "Samantha")).toLocalFile();
        verifyPrivateTemporaryFile(file, "meeting-voice", "wav");
        QVERIFY(std::ranges::any_of(SoundFile::read(file).samples,
                                    [](float sample) { return std::abs(sample) > 0.05f; }));
        QVERIFY(!QFile::exists("/tmp/elsewhere.wav"));
        QVERIFY_THROWS_EXCEPTION(ServiceError,
                                 runToCompletion(output->synthesize("Hello", "NoSuchVoice")));
        output.reset();
        QVERIFY(!QFileInfo::exists(QFileInfo(file).absolutePath()));
    }

    void createsOneVirtualMicrophoneAndSelectsIt() {
        AudioOutput output;
        runToCompletion(output.createVirtualMicrophone());
        runToCompletion(output.createVirtualMicrophone());

        const auto devices = output.devices();
        QCOMPARE(
            std::ranges::count(devices, AudioOutput::virtualMicrophoneName, &AudioDevice::name), 1);
        const auto chosen =
            *std::ranges::find(devices, AudioOutput::virtualMicrophoneName, &AudioDevice::name);
        QCOMPARE(output.selectedDeviceID(), std::optional<quint32>(chosen.id));
        QCOMPARE(listed("sources").filter("relayo_virtual_microphone_input").size(), 1);

        AudioOutput later; // a new window finds and picks it by itself
        QCOMPARE(later.selectedDeviceID(), std::optional<quint32>(chosen.id));
    }

    // The meeting application hears what is played into the virtual microphone on its input;
    // a server that restarts mid-meeting has it again, chosen, without a word from the user.
    void theVirtualMicrophoneCarriesTheVoiceAndOutlivesAServerRestart() {
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        AudioOutput output(daemon.address());
        runToCompletion(output.createVirtualMicrophone());
        for (const bool restart : {false, true}) {
            if (restart) {
                daemon.stop();
                QVERIFY(daemon.start());
            }
            QTRY_VERIFY_WITH_TIMEOUT(
                listed("sources", daemon.address())
                            .filter("relayo_virtual_microphone_input")
                            .size() == 1 &&
                    output.selectedDeviceID() &&
                    output.selectedDeviceID() ==
                        sinkNamed("relayo_virtual_microphone", daemon.address()),
                timeout);
            SourceRecording input("relayo_virtual_microphone_input", daemon.address());
            // The session manager may link the recording only after a tone has played, most
            // often after a restart on a loaded machine: the tone plays again until it is heard.
            const auto heard = [&, played = tone(440, 1)] {
                if (audiotest::toneStrength(input.samples(), 440) > 0.01)
                    return true;
                if (!output.isPlaying())
                    output.play(played, output.selectedDeviceID());
                return false;
            };
            QTRY_VERIFY_WITH_TIMEOUT(heard(), timeout);
        }
    }

private:
    // A new sound file of a `frequency` tone lasting `seconds`.
    QUrl tone(double frequency, double seconds) const {
        return QUrl::fromLocalFile(audiotest::makeTone(m_folder, frequency, seconds));
    }

    QTemporaryDir m_folder;
    quint32 m_feed = 0;
};

QTEST_GUILESS_MAIN(AudioOutputTest)
#include "AudioOutputTest.moc"

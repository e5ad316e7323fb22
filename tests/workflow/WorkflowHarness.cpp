#include "tests/workflow/WorkflowHarness.h"

#include <QSettings>

namespace {

template <typename Fake> std::unique_ptr<Fake> make(Fake*& pointer) {
    auto fake = std::make_unique<Fake>();
    pointer = fake.get();
    return fake;
}

} // namespace

WorkflowHarness::WorkflowHarness() {
    relaunch();
}

void WorkflowHarness::relaunch() {
    m_model.reset();
    m_model = std::make_unique<AppViewModel>(makeServices());
}

AppServices WorkflowHarness::makeServices() {
    AppServices services;
    services.meetingSpeech = make(meetingSpeech);
    services.koreanSpeech = make(koreanSpeech);
    services.audioOutput = make(audioOutput);
    services.capture = make(capture);
    services.nebius = make(nebius);
    services.elevenLabs = make(elevenLabs);
    services.keychain = make(keychain);
    services.settings = std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat);
    return services;
}

void WorkflowHarness::close() {
    m_model.reset();
}

QString WorkflowHarness::settingsPath() const {
    return m_folder.filePath(QStringLiteral("settings.ini"));
}

QVariant WorkflowHarness::storedSetting(const QString& key) const {
    return QSettings(settingsPath(), QSettings::IniFormat).value(key);
}

void WorkflowHarness::storeSetting(const QString& key, const QVariant& value) const {
    QSettings(settingsPath(), QSettings::IniFormat).setValue(key, value);
}

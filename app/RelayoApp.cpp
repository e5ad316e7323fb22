#include "app/RelayoApp.h"

#include "app/ui/ContentViewModel.h"
#include "app/ui/DesktopReportDelivery.h"
#include "app/workflow/AppViewModel.h"
#include "app/workflow/ScreenshotMode.h"

#include <QGuiApplication>
#include <QPointer>
#include <QQuickWindow>
#include <QSaveFile>
#include <QScreen>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(Relayo_UiPlugin)

RelayoApp::RelayoApp(AppServices services, QObject* parent)
    : QObject(parent), m_model(std::make_unique<AppViewModel>(std::move(services))),
      m_content(std::make_unique<ContentViewModel>(
          *m_model, std::make_unique<DesktopReportDelivery>(), QStringLiteral(":/Relayo/Ui"))) {}

RelayoApp::~RelayoApp() = default;

bool RelayoApp::show() {
    m_engine.setInitialProperties(
        {{QStringLiteral("content"), QVariant::fromValue(m_content.get())}});
    m_engine.load(QUrl(QStringLiteral("qrc:/Relayo/Ui/Main.qml")));
    if (m_engine.rootObjects().isEmpty())
        return false;
    m_window = qobject_cast<QQuickWindow*>(m_engine.rootObjects().first());
    if (!m_window)
        return false;
    m_window->setMinimumSize(QSize(ScreenshotMode::step() ? 600 : 720, 640));
    connect(m_window, &QWindow::activeChanged, m_content.get(), [this] {
        if (m_window->isActive())
            m_content->windowBecameActive();
    });
    firstShow();
    return true;
}

QCoro::Task<> RelayoApp::firstShow() {
    QPointer self = this;
    QPointer model = m_model.get();
    co_await model->prepare();
    if (!self)
        co_return;
    if (const std::optional<qint64> step = ScreenshotMode::step()) {
        co_await model->applyScreenshotStep(*step);
        if (!self)
            co_return;
        sizeForScreenshot();
    }
    emit ready();
}

// Three quarters as wide as the screen's usable height allows, near its top-left
// corner, title bar included; the window id goes to RLY_SHOT_OUT so a capture
// tool can find it.
void RelayoApp::sizeForScreenshot() {
    if (!m_window || !m_window->isVisible())
        return;
    QScreen* screen = m_window->screen() ? m_window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect visible = screen->availableGeometry();
    const int height = visible.height() - 20;
    const QMargins frame = m_window->frameMargins();
    m_window->setFramePosition(QPoint(visible.x() + 40, visible.y() + 10));
    m_window->resize(qRound(height * 3.0 / 4.0) - frame.left() - frame.right(),
                     height - frame.top() - frame.bottom());
    if (!qEnvironmentVariableIsSet("RLY_SHOT_OUT"))
        return;
    QSaveFile file(qEnvironmentVariable("RLY_SHOT_OUT"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray::number(m_window->winId()));
        file.commit();
    }
}

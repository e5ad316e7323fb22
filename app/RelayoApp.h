#pragma once

#include "app/workflow/AppServices.h"

#include <QObject>
#include <QQmlApplicationEngine>
#include <memory>
#include <qcoro/qcorotask.h>

class AppViewModel;
class ContentViewModel;
class QQuickWindow;

// The program's one window: it owns the workflow controller for its whole life,
// prepares it when first shown and, in screenshot mode, fills it with the
// example exchange and sizes it for a screen capture.
class RelayoApp : public QObject {
    Q_OBJECT

public:
    explicit RelayoApp(AppServices services, QObject* parent = nullptr);
    ~RelayoApp() override;

    // Loads and shows the window; false when it could not be shown.
    bool show();

    QQuickWindow* window() const { return m_window; }
    ContentViewModel& content() const { return *m_content; }

signals:
    // Start-up (preparation and any screenshot step) has finished.
    void ready();

private:
    QCoro::Task<> firstShow();
    void sizeForScreenshot();

    std::unique_ptr<AppViewModel> m_model;
    std::unique_ptr<ContentViewModel> m_content;
    QQmlApplicationEngine m_engine;
    QQuickWindow* m_window = nullptr;
};

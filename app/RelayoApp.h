#pragma once

#include <QQmlApplicationEngine>

// The program's one window.
class RelayoApp {
public:
    // Loads the window; false when it could not be shown.
    bool show();

private:
    QQmlApplicationEngine m_engine;
};

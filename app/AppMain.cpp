#include "app/RelayoApp.h"

#include <QGuiApplication>

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    QGuiApplication::setOrganizationName(QStringLiteral("Relayo"));
    QGuiApplication::setApplicationName(QStringLiteral("Relayo"));
    RelayoApp app;
    if (!app.show())
        return 1;
    return QGuiApplication::exec();
}

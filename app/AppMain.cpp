#include "app/ProductionServices.h"
#include "app/RelayoApp.h"

#include <QGuiApplication>

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    QGuiApplication::setOrganizationName(QStringLiteral("Relayo"));
    QGuiApplication::setApplicationName(QStringLiteral("Relayo"));
    QGuiApplication::setApplicationVersion(QStringLiteral(RELAYO_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("relayo"));
    RelayoApp app(ProductionServices::make());
    if (!app.show())
        return 1;
    return QGuiApplication::exec();
}

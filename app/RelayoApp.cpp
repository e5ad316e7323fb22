#include "app/RelayoApp.h"

#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(Relayo_UiPlugin)

bool RelayoApp::show() {
    m_engine.load(QUrl(QStringLiteral("qrc:/Relayo/Ui/Main.qml")));
    return !m_engine.rootObjects().isEmpty();
}

#include "ViewEngine.h"

#include <QCoreApplication>
#include <QQmlEngine>

namespace ViewEngine {

QQmlEngine *shared()
{
    static QQmlEngine *engine = [] {
        auto *made = new QQmlEngine(QCoreApplication::instance());
        // The views import "KestrinAI" from the resources the module plugin put there.
        made->addImportPath(QStringLiteral("qrc:/"));
        return made;
    }();
    return engine;
}

} // namespace ViewEngine

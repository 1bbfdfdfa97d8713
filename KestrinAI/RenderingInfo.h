#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

/// What draws this program's windows. On software OpenGL (Mesa's llvmpipe, as on a machine
/// without a graphics driver or in a virtual machine) multisampling costs about as much as the
/// scene itself, so views with a 3-D scene turn it off there.
class RenderingInfo : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool software READ isSoftware CONSTANT)

public:
    using QObject::QObject;

    /// Asked of OpenGL once, on the GUI thread; false when no OpenGL context can be made.
    static bool isSoftware();
    /// Whether an OpenGL renderer's name (GL_RENDERER) is a software rasterizer.
    static bool isSoftwareRenderer(const QByteArray &name);
};

#include "RenderingInfo.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

bool RenderingInfo::isSoftwareRenderer(const QByteArray &name)
{
    const QByteArray lower = name.toLower();
    return lower.contains("llvmpipe") || lower.contains("softpipe") || lower.contains("swrast")
        || lower.contains("software rasterizer");
}

bool RenderingInfo::isSoftware()
{
    static const bool software = [] {
        QOffscreenSurface surface;
        surface.create();
        QOpenGLContext context;
        if (!context.create() || !context.makeCurrent(&surface))
            return false;
        const auto *renderer = reinterpret_cast<const char *>(context.functions()->glGetString(GL_RENDERER));
        const bool found = renderer && isSoftwareRenderer(renderer);
        context.doneCurrent();
        return found;
    }();
    return software;
}

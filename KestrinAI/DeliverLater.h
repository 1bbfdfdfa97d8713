#pragma once

#include <QFuture>
#include <QMetaObject>
#include <QObject>

#include <functional>

/// Hands the result of background work to @p done on @p context's thread, always from that
/// thread's event loop: never inside the call that started the work, even when the work is
/// already done by the time the continuation is attached (QFuture::then then runs it at once).
/// A caller can therefore connect to what @p done emits after starting the work. Nothing is
/// delivered once @p context is gone.
template <typename T>
void deliverLater(QFuture<T> future, QObject *context, std::function<void(T)> done)
{
    future.then(context, [context, done = std::move(done)](T value) {
        QMetaObject::invokeMethod(
            context, [done, value = std::move(value)] { done(value); }, Qt::QueuedConnection);
    });
}

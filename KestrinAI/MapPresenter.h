#pragma once

#include <QString>

#include <functional>

/// What the command router needs of the globe window: look a place up and show it.
class MapPresenter
{
public:
    virtual ~MapPresenter() = default;
    /// Looks @p place up and shows it; @p completion runs once, on the main thread, with true
    /// when the place was found and shown.
    virtual void show(const QString &place, std::function<void(bool found)> completion) = 0;
};

#pragma once

#include <QString>

/// The application's identity, shown in the launch log line, the menus and the settings window.
namespace AppInfo {
inline const QString name = QStringLiteral("Kestrin AI");
inline const QString version = QStringLiteral("1.0");
} // namespace AppInfo

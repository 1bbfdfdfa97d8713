#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

/// The three names the program answers to, in the order their phrases are searched.
class WakeWord
{
public:
    enum Case { oryn, tarvik, kestrin };

    constexpr WakeWord(Case c) : m_case(c) { } // NOLINT: implicit on purpose

    static QList<WakeWord> allCases() { return {oryn, tarvik, kestrin}; }
    /// Exactly "oryn", "tarvik" or "kestrin"; anything else gives nothing.
    static std::optional<WakeWord> fromRawValue(QStringView raw)
    {
        for (const WakeWord word : allCases())
            if (raw == word.rawValue())
                return word;
        return std::nullopt;
    }

    constexpr Case value() const { return m_case; }
    QString rawValue() const
    {
        switch (m_case) {
        case oryn:
            return QStringLiteral("oryn");
        case tarvik:
            return QStringLiteral("tarvik");
        case kestrin:
            return QStringLiteral("kestrin");
        }
        return {};
    }
    /// "hey " and the name.
    QString phrase() const { return QStringLiteral("hey ") + rawValue(); }

    friend constexpr bool operator==(WakeWord a, WakeWord b) { return a.m_case == b.m_case; }

private:
    Case m_case;
};

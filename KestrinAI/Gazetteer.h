#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

/// A place found by name, shaped like a geocoding service's answer: a town has a locality, a
/// name and a country; a region or a country has a name and a country (a country's name is the
/// country); a sea, an ocean, a lake or a continent has only a name. Country names are full
/// English names ("United States", not "US").
struct Placemark
{
    double latitude = 0;
    double longitude = 0;
    std::optional<QString> locality;
    std::optional<QString> name;
    std::optional<QString> country;
};

/// The offline place lookup that stands in for a geocoding service: nothing ever leaves the
/// machine. The list (towns of 5,000 people and more, capitals, regions, countries, seas and
/// continents; see resources/GAZETTEER-NOTICE) is made by tools/make-gazetteer.sh and compiled
/// into kestrin_core as the resource ":/KestrinAI/gazetteer.tsv.qz", so the program always has it.
///
/// Matching ignores case, accents, apostrophes and punctuation, and knows other names from the
/// data ("Bombay", "Peking"). Leading words such as "the" or "city of" are dropped. A text may
/// name a region or a country after the place, with or without a comma ("paris texas",
/// "portland, oregon", "london england"; US states also by their two letters). Among places of
/// one name, a country comes first, then an ocean, sea or continent, then the town or region
/// with the most people; a town found under one of its other names counts for a tenth of its
/// people, a region for a quarter of its towns' people, so a city beats the state of its name.
///
/// The list is read on the first lookup (never at start) and then kept: about a third of a second
/// and 20 MB; a lookup is then a few binary searches of a sorted index, well under a millisecond.
class Gazetteer
{
public:
    /// The program's list, read on first use.
    static Gazetteer &shared();

    /// The list in the file at @p dataPath (a resource path works), in the format
    /// tools/make-gazetteer.js writes.
    explicit Gazetteer(QString dataPath);
    ~Gazetteer();
    Q_DISABLE_COPY_MOVE(Gazetteer)

    /// Reads the list now unless it was read before; false when it is missing or malformed (one
    /// line in the debug log, and every lookup then finds nothing). Any thread.
    bool load() const;

    /// The best place for @p text, or nothing. Blocks, reading the list on the first call. Any
    /// thread, several at once.
    std::optional<Placemark> lookup(const QString &text) const;

    /// Looks @p text up on a pool thread (reading the list first if needed) and calls @p done
    /// once on @p context's thread, only while @p context lives. This gazetteer must outlive the
    /// call (the shared one always does).
    void geocode(const QString &text, QObject *context, std::function<void(std::optional<Placemark>)> done);

private:
    struct Data;

    QString m_dataPath;
    mutable std::once_flag m_loadOnce;
    mutable std::unique_ptr<const Data> m_data;
};

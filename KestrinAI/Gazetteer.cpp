#include "Gazetteer.h"

#include "DebugLog.h"
#include "DeliverLater.h"

#include <QFile>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum class Kind : quint8 { Country, Water, City, Region };

/// How a key names its entry. Codes ("tx") only ever qualify another place: alone they are too
/// easily an ordinary word.
enum class Form : quint8 { Name, OtherName, Code };

// A town found under one of its other names counts for a tenth of its people: those lists hold
// old and foreign names that smaller towns bear as their own. A region counts for a quarter of
// its towns' people: people ask for cities more than for states, and "buenos aires" is the city,
// not the larger province around it.
constexpr double otherNameWeight = 0.1;
constexpr double regionWeight = 0.25;

// Longer texts are sentences, not place names: only the whole text is tried.
constexpr qsizetype maximumSplitTokens = 12;

const QHash<QString, QString> &abbreviations()
{
    static const QHash<QString, QString> words = {
        {QStringLiteral("st"), QStringLiteral("saint")},
        {QStringLiteral("ste"), QStringLiteral("sainte")},
        {QStringLiteral("mt"), QStringLiteral("mount")},
        {QStringLiteral("ft"), QStringLiteral("fort")},
    };
    return words;
}

bool isDirectionWord(const QString &token)
{
    static const QStringList words = {
        QStringLiteral("north"),    QStringLiteral("south"),    QStringLiteral("east"),
        QStringLiteral("west"),     QStringLiteral("northern"), QStringLiteral("southern"),
        QStringLiteral("eastern"),  QStringLiteral("western"),  QStringLiteral("central"),
        QStringLiteral("centre"),   QStringLiteral("center"),   QStringLiteral("far"),
        QStringLiteral("upper"),    QStringLiteral("lower"),    QStringLiteral("middle"),
    };
    return words.contains(token);
}

/// Words that end a region's name without being needed to find it ("Sichuan Province").
bool isRegionWord(const QString &token)
{
    static const QStringList words = {
        QStringLiteral("province"),   QStringLiteral("region"),     QStringLiteral("state"),
        QStringLiteral("prefecture"), QStringLiteral("oblast"),     QStringLiteral("governorate"),
        QStringLiteral("county"),     QStringLiteral("department"), QStringLiteral("territory"),
        QStringLiteral("district"),
    };
    return words.contains(token);
}

/// The words of @p text as keys are made of: lower case, accents dropped, letters that do not
/// decompose spelt out in plain Latin, apostrophes removed ("Xi'an" is said "xian"), every other
/// mark a word break; runs of single letters joined ("U.S.A." is "usa") and common
/// abbreviations spelt out.
QStringList tokensOf(QStringView text)
{
    const QString decomposed = text.toString().normalized(QString::NormalizationForm_KD).toCaseFolded();
    QString folded;
    folded.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (c.isMark())
            continue;
        switch (c.unicode()) {
        case u'\'': case u'`': case 0x2018: case 0x2019: case 0x02BC:
            continue;
        case 0x00DF: folded += QLatin1String("ss"); continue; // ß
        case 0x00E6: folded += QLatin1String("ae"); continue; // æ
        case 0x0153: folded += QLatin1String("oe"); continue; // œ
        case 0x00FE: folded += QLatin1String("th"); continue; // þ
        case 0x00F8: folded += u'o'; continue;                // ø
        case 0x0111: case 0x00F0: folded += u'd'; continue;   // đ ð
        case 0x0142: folded += u'l'; continue;                // ł
        case 0x0131: folded += u'i'; continue;                // ı
        case 0x0127: folded += u'h'; continue;                // ħ
        case 0x0167: folded += u't'; continue;                // ŧ
        default:
            folded += c.isLetterOrNumber() ? c : QChar(u' ');
        }
    }

    QStringList tokens;
    bool joining = false;
    for (const QString &word : folded.split(u' ', Qt::SkipEmptyParts)) {
        if (word.size() == 1 && joining) {
            tokens.last() += word;
            continue;
        }
        joining = word.size() == 1;
        tokens << abbreviations().value(word, word);
    }
    return tokens;
}

std::string keyOf(const QStringList &tokens)
{
    return tokens.join(u' ').toStdString();
}

/// Words a request puts before the place itself.
QStringList withoutLeadingWords(QStringList tokens)
{
    static const QList<QStringList> leads = {
        {QStringLiteral("the")},
        {QStringLiteral("city"), QStringLiteral("of")},
        {QStringLiteral("town"), QStringLiteral("of")},
        {QStringLiteral("village"), QStringLiteral("of")},
        {QStringLiteral("state"), QStringLiteral("of")},
        {QStringLiteral("province"), QStringLiteral("of")},
        {QStringLiteral("island"), QStringLiteral("of")},
    };
    for (bool dropped = true; dropped;) {
        dropped = false;
        for (const QStringList &lead : leads) {
            if (tokens.size() > lead.size() && tokens.mid(0, lead.size()) == lead) {
                tokens.remove(0, lead.size());
                dropped = true;
            }
        }
    }
    return tokens;
}

std::optional<double> numberOf(const QByteArray &field)
{
    double value = 0;
    const auto [end, error] = std::from_chars(field.constData(), field.constData() + field.size(), value);
    if (error != std::errc() || end != field.constData() + field.size())
        return std::nullopt;
    return value;
}

} // namespace

struct Gazetteer::Data
{
    struct Entry
    {
        QString name;
        double latitude = 0;
        double longitude = 0;
        double population = 0;
        qint32 country = -1; // its country's entry (a country's own)
        qint32 region = -1;  // its region's entry (a region's own)
        Kind kind = Kind::City;
    };

    /// One key of the index: its text lies in keyText, so the whole index is two flat arrays.
    struct Key
    {
        quint32 offset = 0;
        quint16 length = 0;
        Form form = Form::Name;
        quint32 entry = 0;
    };

    struct Hit
    {
        quint32 entry;
        Form form;
    };

    std::vector<Entry> entries;
    std::string keyText;
    std::vector<Key> keys;

    std::string_view textOf(const Key &key) const { return std::string_view(keyText).substr(key.offset, key.length); }

    void add(const QStringList &tokens, quint32 entry, Form form)
    {
        if (tokens.isEmpty())
            return;
        const std::string key = keyOf(tokens);
        if (key.size() > 0xFFFF)
            return;
        keys.push_back({quint32(keyText.size()), quint16(key.size()), form, entry});
        keyText += key;
    }

    void addName(const QString &name, quint32 entry, Form form)
    {
        const QStringList tokens = tokensOf(name);
        QList<QStringList> variants = {tokens};
        // "The Hague" is asked for as "the hague" and, once the leading "the" is dropped, "hague".
        if (tokens.size() > 1 && tokens.first() == QLatin1String("the"))
            variants << tokens.mid(1);
        if (entries[entry].kind == Kind::Region && tokens.size() > 1 && isRegionWord(tokens.last()))
            variants << tokens.mid(0, tokens.size() - 1);
        for (const QStringList &variant : variants) {
            // Names made only of directions ("North" in Cameroon, "Central" Region in Uganda)
            // mean something only after a place: alone, "the north" is no place.
            const bool directionOnly = std::all_of(variant.begin(), variant.end(), isDirectionWord);
            add(variant, entry, directionOnly ? Form::Code : form);
        }
    }

    /// Sorts the keys for binary search; a key naming one entry twice keeps its best form.
    void finishIndex()
    {
        std::sort(keys.begin(), keys.end(), [this](const Key &a, const Key &b) {
            const int order = textOf(a).compare(textOf(b));
            if (order != 0)
                return order < 0;
            return a.entry != b.entry ? a.entry < b.entry : a.form < b.form;
        });
        keys.erase(std::unique(keys.begin(), keys.end(),
                               [this](const Key &a, const Key &b) { return a.entry == b.entry && textOf(a) == textOf(b); }),
                   keys.end());
        keys.shrink_to_fit();
    }

    QList<Hit> find(const QStringList &tokens) const
    {
        QList<Hit> hits;
        if (tokens.isEmpty())
            return hits;
        const std::string key = keyOf(tokens);
        struct Less
        {
            const Data *data;
            bool operator()(const Key &a, std::string_view b) const { return data->textOf(a) < b; }
            bool operator()(std::string_view a, const Key &b) const { return a < data->textOf(b); }
        };
        const auto [first, last] = std::equal_range(keys.begin(), keys.end(), std::string_view(key), Less{this});
        for (auto it = first; it != last; ++it)
            hits.push_back({it->entry, it->form});
        return hits;
    }

    /// The places @p tokens may name: every key but codes, and a region also without its last
    /// word when that is "province", "state" and the like.
    QList<Hit> places(const QStringList &tokens) const
    {
        QList<Hit> hits = find(tokens);
        hits.removeIf([](const Hit &hit) { return hit.form == Form::Code; });
        if (tokens.size() > 1 && isRegionWord(tokens.last())) {
            for (const Hit &hit : find(tokens.mid(0, tokens.size() - 1))) {
                if (entries[hit.entry].kind == Kind::Region && hit.form != Form::Code)
                    hits.push_back(hit);
            }
        }
        return hits;
    }

    /// The countries and regions @p tokens may name as a qualifier ("texas", "or", "france").
    QList<qint32> qualifier(const QStringList &tokens) const
    {
        QStringList words = tokens;
        if (words.size() > 1 && words.first() == QLatin1String("the"))
            words.removeFirst();
        QList<Hit> hits = find(words);
        if (words.size() > 1 && isRegionWord(words.last()))
            hits += find(words.mid(0, words.size() - 1));
        QList<qint32> found;
        for (const Hit &hit : hits) {
            const Kind kind = entries[hit.entry].kind;
            if (kind == Kind::Country || kind == Kind::Region)
                found.push_back(qint32(hit.entry));
        }
        return found;
    }

    /// A country beats a town of its name ("mexico"), and a sea a small town named after it
    /// ("pacific", a town in Missouri); towns and regions compete by their people.
    static int tier(Kind kind)
    {
        switch (kind) {
        case Kind::Country: return 0;
        case Kind::Water: return 1;
        case Kind::City:
        case Kind::Region: break;
        }
        return 2;
    }

    double weight(const Hit &hit) const
    {
        const Entry &entry = entries[hit.entry];
        double weight = entry.population;
        if (entry.kind == Kind::Region)
            weight *= regionWeight;
        if (hit.form == Form::OtherName)
            weight *= otherNameWeight;
        return weight;
    }

    bool satisfies(const Entry &entry, const QList<QList<qint32>> &qualifiers) const
    {
        if (entry.kind != Kind::City && entry.kind != Kind::Region)
            return false;
        return std::all_of(qualifiers.begin(), qualifiers.end(), [&entry](const QList<qint32> &choices) {
            return choices.contains(entry.country) || choices.contains(entry.region);
        });
    }

    /// Whether @p a ranks before @p b. Ties go to the entry listed first: the hand-made table of
    /// seas is in order of preference.
    bool ranksBefore(const Hit &a, const Hit &b) const
    {
        const int tierA = tier(entries[a.entry].kind), tierB = tier(entries[b.entry].kind);
        if (tierA != tierB)
            return tierA < tierB;
        const double weightA = weight(a), weightB = weight(b);
        return weightA != weightB ? weightA > weightB : a.entry < b.entry;
    }

    /// The best of the places @p tokens names that lie in every one of @p qualifiers.
    std::optional<quint32> best(const QStringList &tokens, const QList<QList<qint32>> &qualifiers) const
    {
        QList<Hit> candidates = places(tokens);
        if (!qualifiers.isEmpty())
            candidates.removeIf([&](const Hit &hit) { return !satisfies(entries[hit.entry], qualifiers); });
        const auto order = [this](const Hit &a, const Hit &b) { return ranksBefore(a, b); };
        const auto chosen = std::min_element(candidates.begin(), candidates.end(), order);
        if (chosen == candidates.end())
            return std::nullopt;
        // A region gives way to a town of its name inside it: "new york" is the city.
        const quint32 found = chosen->entry;
        if (entries[found].kind == Kind::Region) {
            candidates.removeIf([&](const Hit &hit) {
                return entries[hit.entry].kind != Kind::City || entries[hit.entry].region != qint32(found);
            });
            if (!candidates.isEmpty())
                return std::min_element(candidates.begin(), candidates.end(), order)->entry;
        }
        return found;
    }

    std::optional<quint32> resolve(const QString &text) const
    {
        QList<QStringList> pieces;
        for (const QString &piece : QString(text).replace(u';', u',').split(u',')) {
            const QStringList tokens = tokensOf(piece);
            if (!tokens.isEmpty())
                pieces << tokens;
        }
        if (pieces.isEmpty())
            return std::nullopt;

        // "portland, oregon": the commas say where the place ends.
        if (pieces.size() > 1) {
            QList<QList<qint32>> qualifiers;
            for (qsizetype i = 1; i < pieces.size(); ++i) {
                const QList<qint32> found = qualifier(pieces[i]);
                if (found.isEmpty())
                    break;
                qualifiers << found;
            }
            if (qualifiers.size() == pieces.size() - 1) {
                if (const auto found = best(withoutLeadingWords(pieces.first()), qualifiers))
                    return found;
            }
        }

        QStringList tokens;
        for (const QStringList &piece : pieces)
            tokens += piece;
        tokens = withoutLeadingWords(tokens);
        if (const auto found = best(tokens, {}))
            return found;
        if (tokens.size() > maximumSplitTokens)
            return std::nullopt;

        // "paris texas", "portland oregon usa": the longest place followed by one or two qualifiers.
        for (qsizetype split = tokens.size() - 1; split >= 1; --split) {
            QStringList place = tokens.mid(0, split);
            if (place.size() > 1 && place.last() == QLatin1String("in"))
                place.removeLast();
            const QStringList rest = tokens.mid(split);
            if (const QList<qint32> found = qualifier(rest); !found.isEmpty()) {
                if (const auto match = best(place, {found}))
                    return match;
            }
            for (qsizetype middle = 1; middle < rest.size(); ++middle) {
                const QList<qint32> first = qualifier(rest.mid(0, middle));
                const QList<qint32> second = first.isEmpty() ? QList<qint32>() : qualifier(rest.mid(middle));
                if (second.isEmpty())
                    continue;
                if (const auto match = best(place, {first, second}))
                    return match;
            }
        }
        return std::nullopt;
    }

    Placemark placemark(quint32 index) const
    {
        const Entry &entry = entries[index];
        Placemark place;
        place.latitude = entry.latitude;
        place.longitude = entry.longitude;
        place.name = entry.name;
        if (entry.kind == Kind::City)
            place.locality = entry.name;
        if (entry.country >= 0)
            place.country = entries[entry.country].name;
        return place;
    }

    static std::unique_ptr<const Data> read(const QString &path);
};

std::unique_ptr<const Gazetteer::Data> Gazetteer::Data::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    const QByteArray text = qUncompress(file.readAll());
    if (!text.startsWith("#kestrin-gazetteer 1\n"))
        return nullptr;

    auto data = std::make_unique<Data>();
    QHash<QByteArray, qint32> countries;
    QHash<QByteArray, qint32> regions;
    const auto aliases = [](const QByteArray &field) {
        return field.isEmpty() ? QList<QByteArray>() : field.split('|');
    };

    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        const QByteArray &type = fields.first();
        const auto entryIndex = quint32(data->entries.size());
        Entry entry;
        QList<QByteArray> otherNames;
        std::optional<double> latitude, longitude, population = 0.0;
        if (type == "C" && fields.size() == 7) {
            entry.kind = Kind::Country;
            entry.name = QString::fromUtf8(fields[2]);
            latitude = numberOf(fields[3]);
            longitude = numberOf(fields[4]);
            population = numberOf(fields[5]);
            otherNames = aliases(fields[6]);
            entry.country = qint32(entryIndex);
            countries.insert(fields[1], entry.country);
        } else if (type == "R" && fields.size() == 7) {
            entry.kind = Kind::Region;
            entry.country = countries.value(fields[1], -1);
            entry.name = QString::fromUtf8(fields[3]);
            latitude = numberOf(fields[4]);
            longitude = numberOf(fields[5]);
            population = numberOf(fields[6]);
            entry.region = qint32(entryIndex);
            regions.insert(fields[1] + '.' + fields[2], entry.region);
        } else if (type == "W" && fields.size() == 5) {
            entry.kind = Kind::Water;
            entry.name = QString::fromUtf8(fields[1]);
            latitude = numberOf(fields[2]);
            longitude = numberOf(fields[3]);
            otherNames = aliases(fields[4]);
        } else if (type == "P" && fields.size() == 8) {
            entry.kind = Kind::City;
            entry.name = QString::fromUtf8(fields[1]);
            entry.country = countries.value(fields[2], -1);
            entry.region = regions.value(fields[2] + '.' + fields[3], -1);
            latitude = numberOf(fields[4]);
            longitude = numberOf(fields[5]);
            population = numberOf(fields[6]);
            otherNames = aliases(fields[7]);
        } else {
            return nullptr;
        }
        if (!latitude || !longitude || !population || entry.name.isEmpty()
            || (entry.kind != Kind::Water && entry.country < 0))
            return nullptr;
        entry.latitude = *latitude;
        entry.longitude = *longitude;
        entry.population = *population;
        data->entries.push_back(std::move(entry));

        data->addName(data->entries.back().name, entryIndex, Form::Name);
        for (const QByteArray &alias : otherNames)
            data->addName(QString::fromUtf8(alias), entryIndex, Form::OtherName);
        // US states by their two letters, as addresses write them ("portland, or").
        if (type == "R" && fields[1] == "US")
            data->add({QString::fromLatin1(fields[2]).toLower()}, entryIndex, Form::Code);
    }
    if (data->entries.empty())
        return nullptr;
    data->finishIndex();
    return data;
}

Gazetteer &Gazetteer::shared()
{
    static Gazetteer gazetteer(QStringLiteral(":/KestrinAI/gazetteer.tsv.qz"));
    return gazetteer;
}

Gazetteer::Gazetteer(QString dataPath)
    : m_dataPath(std::move(dataPath))
{
}

Gazetteer::~Gazetteer() = default;

bool Gazetteer::load() const
{
    std::call_once(m_loadOnce, [this] {
        m_data = Data::read(m_dataPath);
        if (!m_data)
            DebugLog::log(QStringLiteral("gazetteer: couldn't read ") + m_dataPath);
    });
    return m_data != nullptr;
}

std::optional<Placemark> Gazetteer::lookup(const QString &text) const
{
    if (!load())
        return std::nullopt;
    const auto found = m_data->resolve(text);
    return found ? std::optional<Placemark>(m_data->placemark(*found)) : std::nullopt;
}

void Gazetteer::geocode(const QString &text, QObject *context, std::function<void(std::optional<Placemark>)> done)
{
    deliverLater(QtConcurrent::run([this, text] { return lookup(text); }), context, std::move(done));
}

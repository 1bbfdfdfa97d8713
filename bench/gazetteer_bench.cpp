// The place lookup: reading the list, the memory it keeps, and the time of one lookup over a mix
// of everyday requests and misses. Run with `make bench`; with places as arguments it prints
// what each one finds instead.

#include "BenchSupport.h"
#include "Gazetteer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

namespace {

constexpr int queryCount = 1000;
constexpr double targetMs = 50;

QString describe(const std::optional<Placemark> &place)
{
    if (!place)
        return QStringLiteral("nothing");
    QStringList shown;
    if (place->locality || place->name)
        shown << place->locality.value_or(place->name.value_or(QString()));
    if (place->country)
        shown << *place->country;
    return QStringLiteral("%1 (%2, %3)").arg(shown.join(QStringLiteral(", "))).arg(place->latitude).arg(place->longitude);
}

QStringList mixedQueries()
{
    const QStringList everyday = {
        QStringLiteral("paris"), QStringLiteral("Tokyo"), QStringLiteral("springfield"),
        QStringLiteral("paris texas"), QStringLiteral("portland, oregon"), QStringLiteral("japan"),
        QStringLiteral("the pacific ocean"), QStringLiteral("mediterranean sea"), QStringLiteral("sao paulo"),
        QStringLiteral("New York City"), QStringLiteral("the city of london"), QStringLiteral("Zürich"),
        QStringLiteral("rio de janeiro brazil"), QStringLiteral("st. louis, missouri"), QStringLiteral("bombay"),
        QStringLiteral("Kraków, Poland"), QStringLiteral("united states"), QStringLiteral("the caribbean"),
        QStringLiteral("cape town south africa"), QStringLiteral("reykjavik"),
        // Misses: sentences, gibberish, a place qualified by the wrong country.
        QStringLiteral("the town in the north"), QStringLiteral("somewhere nice for lunch"),
        QStringLiteral("paris germany"), QStringLiteral("where my keys are"),
    };
    QStringList queries;
    QRandomGenerator random(20240607); // the same mix on every run
    while (queries.size() < queryCount) {
        queries << everyday;
        QString gibberish;
        for (int i = 0, n = random.bounded(4, 12); i < n; ++i)
            gibberish += QChar(u'a' + random.bounded(26));
        queries << gibberish;
    }
    queries.resize(queryCount);
    return queries;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    Gazetteer &gazetteer = Gazetteer::shared();

    const QStringList places = app.arguments().mid(1);
    if (!places.isEmpty()) {
        for (const QString &place : places)
            out << place << " -> " << describe(gazetteer.lookup(place)) << Qt::endl;
        return 0;
    }

    const double residentBefore = residentMb();
    QElapsedTimer clock;
    clock.start();
    if (!gazetteer.load()) {
        out << "gazetteer: the place list could not be read" << Qt::endl;
        return 1;
    }
    const double loadMs = double(clock.nsecsElapsed()) / 1e6;
    const double residentGrowth = residentMb() - residentBefore;

    QList<double> ms;
    int found = 0;
    for (const QString &query : mixedQueries()) {
        clock.restart();
        const std::optional<Placemark> place = gazetteer.lookup(query);
        ms << double(clock.nsecsElapsed()) / 1e6;
        found += place ? 1 : 0;
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms.at(ms.size() / 2);
    const double p99 = ms.at(ms.size() * 99 / 100);

    out << "gazetteer: load " << QString::number(loadMs, 'f', 0) << " ms, resident memory +"
        << QString::number(residentGrowth, 'f', 1) << " MB" << Qt::endl;
    out << "gazetteer: " << ms.size() << " lookups (" << found << " found): median "
        << QString::number(median, 'f', 3) << " ms, 99th percentile " << QString::number(p99, 'f', 3)
        << " ms, worst " << QString::number(ms.last(), 'f', 3) << " ms (target: under "
        << targetMs << " ms per lookup) " << (p99 < targetMs ? "ok" : "MISSED") << Qt::endl;
    return 0;
}

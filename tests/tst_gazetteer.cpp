#include "Gazetteer.h"
#include "TestSupport.h"

#include <QThread>
#include <QThreadPool>

namespace {

const QString none = QStringLiteral("-");

QString shown(const std::optional<QString> &field)
{
    return field.value_or(none);
}

} // namespace

class GazetteerTest : public QObject
{
    Q_OBJECT

private slots:
    void lookup_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("latitude"); // NaN: nothing is found
        QTest::addColumn<double>("longitude"), QTest::addColumn<QString>("locality"), QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("country");

        const double nothing = qQNaN();
        const QString us = QStringLiteral("United States");
        // The largest Springfield in the list is the one in Missouri; Paris, Texas and Portland,
        // Oregon are not the largest of their names.
        const struct
        {
            const char *text;
            double latitude, longitude;
            QString locality, name, country;
        } rows[] = {
            {"paris", 48.85, 2.35, "Paris", "Paris", "France"},
            {"Tokyo", 35.69, 139.69, "Tokyo", "Tokyo", "Japan"},
            {"springfield", 37.22, -93.30, "Springfield", "Springfield", us},
            {"paris texas", 33.66, -95.56, "Paris", "Paris", us},
            {"portland, oregon", 45.52, -122.68, "Portland", "Portland", us},
            {"Portland ME", 43.66, -70.26, "Portland", "Portland", us},
            {"PARIS, France", 48.85, 2.35, "Paris", "Paris", "France"},
            {"the city of london", 51.51, -0.13, "London", "London", "United Kingdom"},
            {"sao paulo", -23.55, -46.64, "São Paulo", "São Paulo", "Brazil"},
            {"Bombay", 19.07, 72.88, "Mumbai", "Mumbai", "India"},
            {"st petersburg", 59.94, 30.31, "Saint Petersburg", "Saint Petersburg", "Russia"},
            {"new york", 40.71, -74.01, "New York City", "New York City", us},
            {"texas", 30.27, -97.74, none, "Texas", us},
            {"japan", 35.69, 139.69, none, "Japan", "Japan"},
            {"U.S.A.", 38.90, -77.04, none, us, us},
            {"the pacific ocean", 0, -160, none, "Pacific Ocean", none},
            {"pacific", 0, -160, none, "Pacific Ocean", none},
            {"Mediterranean Sea", 35, 18, none, "Mediterranean Sea", none},
            {"paris germany", nothing, 0, none, none, none},
            {"the town in the north", nothing, 0, none, none, none},
            {"", nothing, 0, none, none, none},
            {"   ", nothing, 0, none, none, none},
            {"xqzvbnmw", nothing, 0, none, none, none},
        };
        for (const auto &row : rows)
            QTest::newRow(row.text) << QString::fromUtf8(row.text) << row.latitude << row.longitude << row.locality
                                    << row.name << row.country;
    }

    void lookup()
    {
        QFETCH(QString, text); QFETCH(double, latitude); QFETCH(double, longitude); QFETCH(QString, locality);
        QFETCH(QString, name); QFETCH(QString, country);

        const std::optional<Placemark> place = Gazetteer::shared().lookup(text);
        QCOMPARE(place.has_value(), !qIsNaN(latitude));
        if (!place)
            return;
        QVERIFY2(qAbs(place->latitude - latitude) < 1 && qAbs(place->longitude - longitude) < 1,
                 qPrintable(QStringLiteral("at %1, %2").arg(place->latitude).arg(place->longitude)));
        QCOMPARE(shown(place->locality), locality);
        QCOMPARE(shown(place->name), name);
        QCOMPARE(shown(place->country), country);
    }

    void missingListFindsNothing()
    {
        const Gazetteer gazetteer(QStringLiteral("/nonexistent/gazetteer.tsv.qz"));
        QVERIFY(!gazetteer.load());
        QVERIFY(!gazetteer.lookup(QStringLiteral("paris")));
    }

    void geocodeAnswersOnTheContextThreadOnlyWhileItLives()
    {
        // A fresh list: both requests race to read it on pool threads.
        Gazetteer gazetteer(QStringLiteral(":/KestrinAI/gazetteer.tsv.qz"));
        QObject kept;
        auto *dropped = new QObject;
        std::optional<Placemark> answer;
        QThread *answeredOn = nullptr;
        int answers = 0;
        bool droppedAnswered = false;

        gazetteer.geocode(QStringLiteral("tokyo"), &kept, [&](std::optional<Placemark> place) {
            answer = std::move(place);
            answeredOn = QThread::currentThread();
            ++answers;
        });
        gazetteer.geocode(QStringLiteral("paris"), dropped, [&](std::optional<Placemark>) { droppedAnswered = true; });
        delete dropped;

        QTRY_COMPARE(answers, 1);
        QCOMPARE(answeredOn, QThread::currentThread());
        QVERIFY(answer);
        QCOMPARE(shown(answer->country), QStringLiteral("Japan"));

        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QVERIFY(!droppedAnswered);
        QCOMPARE(answers, 1);
    }
};

KESTRIN_TEST_MAIN(GazetteerTest)
#include "tst_gazetteer.moc"

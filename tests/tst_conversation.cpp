#include "AppPaths.h"
#include "ConversationStore.h"
#include "DeliverLater.h"
#include "TaskStore.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QThread>
#include <QTimeZone>

#include <csignal>

#include <sys/resource.h>

using namespace TestSupport;

namespace {

ChatMessage user(const QString &text) { return ChatMessage(ChatMessage::Role::user, text); }
ChatMessage assistant(const QString &text) { return ChatMessage(ChatMessage::Role::assistant, text); }
ChatTurn turn(const QString &role, const QString &content) { return ChatTurn{role, content, std::nullopt}; }
ConversationSnapshot oryn(const QString &text) { return ConversationSnapshot{{user(text)}, {}, {}}; }

QStringList texts(const QList<ChatMessage> &messages)
{
    QStringList out;
    for (const ChatMessage &m : messages)
        out << ChatMessage::rawValue(m.role()) + ':' + m.text();
    return out;
}

QDateTime utc(int year, int month, int day, int ms = 0)
{
    return QDateTime(QDate(year, month, day), QTime(0, 0).addMSecs(ms), QTimeZone::utc());
}

} // namespace

class ConversationTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

private slots:
    void init() { m_path = m_dir.filePath(QStringLiteral("%1.json").arg(QTest::currentTestFunction())); }

    // --- records ---

    void datesAreSecondsSince2001()
    {
        QCOMPARE(ChatMessage::referenceSeconds(utc(2001, 1, 1)), 0.0);
        QCOMPARE(ChatMessage::referenceSeconds(utc(2001, 1, 1, 1500)), 1.5);
        QCOMPARE(ChatMessage::referenceSeconds(utc(1970, 1, 1)), -978307200.0);
        QCOMPARE(*ChatMessage::fromReferenceSeconds(786240000.25), utc(2025, 12, 1, 250));
        QVERIFY(!ChatMessage::fromReferenceSeconds(1e300));
        QVERIFY(!ChatMessage::fromReferenceSeconds(std::nan("")));

        const ChatMessage m = assistant("x");
        const QJsonObject stored = m.toJson();
        QCOMPARE(stored.size(), 3);
        QVERIFY(qAbs(stored.value("date").toDouble() - ChatMessage::referenceSeconds(QDateTime::currentDateTimeUtc())) < 5);
        // The date comes back; a message without one (or with nonsense) is dated now.
        QCOMPARE(ChatMessage::fromJson(stored)->date(), m.date());
        const auto undated = ChatMessage::fromJson(QJsonObject{{"role", "user"}, {"text", "t"}, {"date", "yesterday"}});
        QVERIFY(undated && qAbs(undated->date().secsTo(QDateTime::currentDateTimeUtc())) < 5);
    }

    // --- the conversation file ---

    void roundTrip()
    {
        ConversationSnapshot saved;
        saved.orynMessages = {user("What is 2+2?"), assistant("**4**, with \"quotes\" and\nlines"), user("emoji 🦅 and ünïcode")};
        saved.kestrinMessages = {user("What's on screen?"), assistant("A terminal.")};
        saved.orynHistory = {turn("user", "What is 2+2?"), turn("assistant", "4")};
        ConversationStore::save(saved, m_path);
        ConversationStore::waitForPendingSaves();

        const ConversationSnapshot loaded = ConversationStore::load(m_path);
        QCOMPARE(texts(loaded.orynMessages), texts(saved.orynMessages));
        QCOMPARE(texts(loaded.kestrinMessages), texts(saved.kestrinMessages));
        QCOMPARE(loaded.orynHistory, saved.orynHistory);
        for (int i = 0; i < saved.orynMessages.size(); ++i) {
            QVERIFY(loaded.orynMessages[i].id() != saved.orynMessages[i].id()); // ids are new
            QCOMPARE(loaded.orynMessages[i].date(), saved.orynMessages[i].date());
        }

        // The exact form on disk: compact, three keys, turns without images have two keys.
        const QByteArray bytes = readAll(m_path);
        QVERIFY(!bytes.contains('\n') && !bytes.contains(": "));
        const QJsonObject root = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(root.keys(), (QStringList{"kestrinMessages", "orynHistory", "orynMessages"}));
        QCOMPARE(root.value("orynHistory").toArray().at(0).toObject().keys(), (QStringList{"content", "role"}));
        QCOMPARE(root.value("orynMessages").toArray().at(0).toObject().keys(), (QStringList{"date", "role", "text"}));
        QCOMPARE(modeOf(m_path), 0600);
    }

    void encoderAgreesWithTheRecordForms()
    {
        QCOMPARE(ConversationStore::encode({}), QByteArray(R"({"orynMessages":[],"kestrinMessages":[],"orynHistory":[]})"));
        QVERIFY(ConversationStore::decode(ConversationStore::encode({}))->isEmpty());

        // Every control character (NUL too), quotes, backslashes, non-ASCII.
        QString tricky;
        for (char16_t c = 0; c < 0x20; ++c)
            tricky.append(QChar(c));
        tricky += "\"\\/ é 漢字 🦅 </script>";
        ConversationSnapshot snapshot;
        snapshot.orynMessages = {user(tricky), assistant(QString())};
        snapshot.kestrinMessages = {assistant(tricky.repeated(3))};
        snapshot.orynHistory = {turn(tricky, tricky), ChatTurn{"user", "x", tricky}};

        QJsonArray orynList, kestrinList, history;
        for (const auto &m : snapshot.orynMessages) orynList.append(m.toJson());
        for (const auto &m : snapshot.kestrinMessages) kestrinList.append(m.toJson());
        for (const auto &t : snapshot.orynHistory) history.append(t.toJson());
        QJsonParseError error{};
        const QJsonDocument written = QJsonDocument::fromJson(ConversationStore::encode(snapshot), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(written.object(), (QJsonObject{{"orynMessages", orynList}, {"kestrinMessages", kestrinList}, {"orynHistory", history}}));
        const auto decoded = ConversationStore::decode(ConversationStore::encode(snapshot));
        QVERIFY(decoded);
        QCOMPARE(decoded->orynMessages.at(0).text(), tricky);
        QCOMPARE(decoded->orynMessages.at(0).date(), snapshot.orynMessages.at(0).date());

        // Text cut in the middle of a surrogate pair still makes a file that loads.
        const QString cut = QStringLiteral("🦅").left(1);
        QVERIFY(ConversationStore::decode(ConversationStore::encode({{user(cut)}, {}, {turn(cut, cut)}})));

        // Another writer's file: no dates, image turns, unknown keys and roles, spaces.
        const auto foreign = ConversationStore::decode(R"({ "orynMessages": [ {"role": "user", "text": "hi"} ],
            "kestrinMessages": [], "version": 2,
            "orynHistory": [ {"role": "system", "content": "hi", "imageBase64": "AAAA", "x": 1},
                             {"role": "user", "content": "x", "imageBase64": null} ] })");
        QVERIFY(foreign);
        QCOMPARE(texts(foreign->orynMessages), QStringList{"user:hi"});
        QCOMPARE(foreign->orynHistory.at(0).imageBase64, "AAAA");
        QCOMPARE(foreign->orynHistory.at(1).imageBase64, std::nullopt);
    }

    void corruptShapesLoadEmpty_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray messages = R"("orynMessages":[{"role":"user","text":"a"}])";
        const QByteArray rest = R"("kestrinMessages":[],"orynHistory":[])";
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("truncated") << QByteArray("{" + messages + "," + rest).chopped(3);
        QTest::newRow("not JSON") << QByteArray("hello");
        QTest::newRow("top level array") << QByteArray("[]");
        QTest::newRow("missing orynHistory") << QByteArray("{" + messages + R"(,"kestrinMessages":[]})");
        QTest::newRow("missing kestrinMessages") << QByteArray("{" + messages + R"(,"orynHistory":[]})");
        QTest::newRow("list is an object") << QByteArray(R"({"orynMessages":{},)" + rest + "}");
        QTest::newRow("role system") << QByteArray(R"({"orynMessages":[{"role":"system","text":"a"}],)" + rest + "}");
        QTest::newRow("role capitalised") << QByteArray(R"({"orynMessages":[{"role":"User","text":"a"}],)" + rest + "}");
        QTest::newRow("message without text") << QByteArray(R"({"orynMessages":[{"role":"user"}],)" + rest + "}");
        QTest::newRow("message is a string") << QByteArray(R"({"orynMessages":["hi"],)" + rest + "}");
        const QByteArray turns = "{" + messages + R"(,"kestrinMessages":[],"orynHistory":[)";
        QTest::newRow("turn without content") << turns + R"({"role":"user"}]})";
        QTest::newRow("turn without role") << turns + R"({"content":"x"}]})";
        QTest::newRow("turn image is a number") << turns + R"({"role":"user","content":"x","imageBase64":7}]})";
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{", 4);
    }
    void corruptShapesLoadEmpty()
    {
        QFETCH(QByteArray, content);
        writeAll(m_path, content);
        QVERIFY(!ConversationStore::decode(content));
        QVERIFY(ConversationStore::load(m_path).isEmpty());
        QCOMPARE(readAll(m_path), content); // left in place until the next save
        ConversationStore::save(oryn("new"), m_path);
        ConversationStore::waitForPendingSaves();
        QCOMPARE(texts(ConversationStore::load(m_path).orynMessages), QStringList{"user:new"});
    }

    void missingOrUnwritableFailsSilently()
    {
        QVERIFY(ConversationStore::load(m_dir.filePath("nope/none.json")).isEmpty());
        writeAll(m_dir.filePath("file"), "x");
        const QString path = m_dir.filePath("file/conversations.json");
        ConversationStore::save(oryn("lost"), path);
        ConversationStore::waitForPendingSaves();
        QVERIFY(!ConversationStore::writeNow({}, path));
        QVERIFY(ConversationStore::load(path).isEmpty());
    }

    void quickSavesLeaveTheLastSnapshot()
    {
        // The first save is big (slow to write), the second small: the second must win.
        ConversationSnapshot big;
        for (int i = 0; i < 20'000; ++i)
            big.orynMessages.append(user(QStringLiteral("message %1").arg(i)));
        ConversationStore::save(big, m_path);
        ConversationStore::save(oryn("second"), m_path);
        ConversationStore::waitForPendingSaves();
        QCOMPARE(texts(ConversationStore::load(m_path).orynMessages), QStringList{"user:second"});

        // Many saves from the caller's changing lists: each takes the lists as they were.
        QList<ChatMessage> live;
        for (int i = 0; i < 200; ++i) {
            live.append(user(QString::number(i)));
            ConversationStore::save(ConversationSnapshot{live, {}, {}}, m_path);
        }
        live.clear();
        ConversationStore::waitForPendingSaves();
        QCOMPARE(ConversationStore::load(m_path).orynMessages.size(), 200);
    }

    void loadAsyncFollowsTheSavesBeforeIt()
    {
        ConversationSnapshot snapshot;
        for (int i = 0; i < 5'000; ++i)
            snapshot.kestrinMessages.append(assistant(QStringLiteral("reply %1").arg(i)));
        ConversationStore::save(snapshot, m_path);

        // Both run on the one serial worker; the answer comes on the caller's thread.
        QObject context;
        std::optional<ConversationSnapshot> loaded;
        Qt::HANDLE deliveredOn = nullptr;
        ConversationStore::loadAsync(&context, [&](ConversationSnapshot s) {
            loaded = std::move(s);
            deliveredOn = QThread::currentThreadId();
        }, m_path);
        QTRY_VERIFY_WITH_TIMEOUT(loaded.has_value(), 10000);
        QCOMPARE(loaded->kestrinMessages.size(), 5'000);
        QCOMPARE(deliveredOn, QThread::currentThreadId());

        // A context gone by then gets nothing.
        bool called = false;
        {
            QObject gone;
            ConversationStore::loadAsync(&gone, [&](ConversationSnapshot) { called = true; }, m_path);
        }
        ConversationStore::waitForPendingSaves();
        QTest::qWait(50);
        QVERIFY(!called);

        // Work already done when its answer is wired still answers from the event loop, never
        // inside the call: a caller that connects after starting it would miss the answer.
        deliverLater(QtFuture::makeReadyFuture(1), &context, std::function<void(int)>([&](int) { called = true; }));
        QVERIFY(!called);
        QTRY_VERIFY(called);
    }

    void defaultLocationIsPrivate()
    {
        QCOMPARE(AppPaths::conversations(), AppPaths::support() + "/conversations.json");
        QCOMPARE(AppPaths::support(), qEnvironmentVariable("XDG_DATA_HOME") + "/Kestrin AI");
        ConversationStore::save({user("a")}, {}, {turn("user", "a")});
        ConversationStore::waitForPendingSaves();
        QCOMPARE(ConversationStore::load().orynHistory.size(), 1);
        QCOMPARE(modeOf(AppPaths::support()), 0700);
        QCOMPARE(modeOf(AppPaths::conversations()), 0600);
    }

    void fullDiskKeepsWhatWasSaved()
    {
        // A full disk, made with a file-size limit (writes past it fail, as on a full file system):
        // what does not fit fails and leaves the saved files whole; with room again, saving works.
        const QString dir = m_dir.filePath("full");
        QVERIFY(QDir().mkpath(dir));
        const QString path = dir + "/conversations.json";
        UserDefaults defaults(dir + "/defaults.json");
        TaskStore tasks(defaults);
        ConversationStore::save(oryn("kept"), path);
        ConversationStore::waitForPendingSaves();
        tasks.add("kept");

        rlimit unlimited{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        rlimit full = unlimited;
        full.rlim_cur = 4096;
        std::signal(SIGXFSZ, SIG_IGN); // the write fails instead of the process dying
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &full), 0);
        const ConversationSnapshot big = oryn(QString(100'000, u'x'));
        ConversationStore::save(big, path);
        ConversationStore::waitForPendingSaves();
        const bool written = ConversationStore::writeNow(big, path);
        for (int i = 0; i < 100; ++i)
            tasks.add(QStringLiteral("task %1 ").arg(i) + QString(100, u'y'));
        const QByteArray storedWhileFull = readAll(dir + "/defaults.json");
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, SIG_DFL);

        QVERIFY(!written);
        QCOMPARE(texts(ConversationStore::load(path).orynMessages), QStringList{"user:kept"});
        const auto stored = UserDefaults(dir + "/defaults.json").data(TaskStore::key);
        const auto onDisk = stored ? TaskStore::decode(*stored) : std::nullopt;
        QVERIFY2(onDisk && onDisk->last().text() == "Kept", storedWhileFull.left(200));
        QVERIFY(onDisk->size() < 50);
        QCOMPARE(tasks.count(), 101); // nothing typed was dropped

        ConversationStore::save(big, path);
        ConversationStore::waitForPendingSaves();
        QCOMPARE(ConversationStore::load(path).orynMessages.value(0).text(), big.orynMessages.first().text());
        tasks.add("after");
        QCOMPARE(TaskStore::decode(*UserDefaults(dir + "/defaults.json").data(TaskStore::key))->size(), 102);
    }

    void survivesBeingKilledWhileSaving()
    {
        // A child saves ever-changing conversations and task lists in a loop; kill it at random
        // moments. Both files must always load whole: every message of the conversation carries
        // the same snapshot number, and the round's tasks are numbered n, n - 1, ... 1.
        QRandomGenerator random(faultSeed());
        const QString dir = m_dir.filePath("crash");
        QVERIFY(QDir().mkpath(dir));
        const QString path = dir + "/conversations.json";
        const QString defaultsPath = dir + "/defaults.json";
        const int rounds = 200;
        for (int round = 0; round < rounds; ++round) {
            QProcess child;
            child.start(KESTRIN_HELPER, {"save-loop", path, defaultsPath});
            QVERIFY(child.waitForStarted(10000));
            QVERIFY(child.waitForReadyRead(30000));
            QThread::msleep(random.bounded(0, 60));
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished(10000));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);

            const QByteArray where = "round " + QByteArray::number(round);
            const auto snapshot = ConversationStore::decode(readAll(path));
            QVERIFY2(snapshot && !snapshot->orynMessages.isEmpty(), where + ": the conversation does not load");
            const QString number = snapshot->orynMessages.first().text().section(u' ', 1, 1);
            for (const ChatMessage &m : snapshot->orynMessages + snapshot->kestrinMessages)
                QCOMPARE(m.text().section(u' ', 1, 1), number);
            QCOMPARE(snapshot->orynHistory.size(), snapshot->orynMessages.size());
            QVERIFY(number.toInt() >= 3);

            const std::optional<QByteArray> stored = UserDefaults(defaultsPath).data(TaskStore::key);
            const auto tasks = stored ? TaskStore::decode(*stored) : std::nullopt;
            QVERIFY2(tasks && tasks->size() >= 3, where + ": the tasks do not load");
            const int newest = tasks->first().text().section(u' ', 1, 1).toInt(); // this round's, newest first
            for (int i = 1; i < qMin(newest, int(tasks->size())); ++i)
                QCOMPARE(tasks->at(i).text().section(u' ', 1, 1).toInt(), newest - i);
        }
        // Killed writers may leave temporary files, but never more than one each.
        QVERIFY(QDir(dir).entryList(QDir::Files).size() <= 2 + rounds);
    }
};

KESTRIN_TEST_MAIN(ConversationTest)
#include "tst_conversation.moc"

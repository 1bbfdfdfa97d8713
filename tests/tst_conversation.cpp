#include "AgentModel.h"
#include "AppPaths.h"
#include "ConversationStore.h"
#include "TestSupport.h"
#include "Theme.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QThread>
#include <QTimeZone>

#include <csignal>

using namespace TestSupport;

namespace {

ChatMessage user(const QString &text) { return ChatMessage(ChatMessage::Role::user, text); }
ChatMessage assistant(const QString &text) { return ChatMessage(ChatMessage::Role::assistant, text); }
ChatTurn turn(const QString &role, const QString &content) { return ChatTurn{role, content, std::nullopt}; }

QStringList texts(const QList<ChatMessage> &messages)
{
    QStringList out;
    for (const ChatMessage &m : messages)
        out << ChatMessage::rawValue(m.role()) + QLatin1Char(':') + m.text();
    return out;
}

QJsonObject jsonObject(const QByteArray &bytes) { return QJsonDocument::fromJson(bytes).object(); }

} // namespace

class ConversationTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

private slots:
    void init() { m_path = m_dir.filePath(QStringLiteral("%1.json").arg(QTest::currentTestFunction())); }

    // --- records ---

    void chatTurnStoredForm()
    {
        const ChatTurn plain = turn(QStringLiteral("user"), QStringLiteral("Hi"));
        QCOMPARE(plain.toJson(), (QJsonObject{{"role", "user"}, {"content", "Hi"}}));
        ChatTurn withImage = plain;
        withImage.imageBase64 = QStringLiteral("iVBOR");
        QCOMPARE(withImage.toJson().value(QStringLiteral("imageBase64")).toString(), QStringLiteral("iVBOR"));
        QCOMPARE(ChatTurn::fromJson(withImage.toJson()), withImage);

        const auto read = [](const char *json) { return ChatTurn::fromJson(QJsonDocument::fromJson(json).object()); };
        QCOMPARE(read(R"({"role":"assistant","content":"x"})")->imageBase64, std::nullopt);
        QCOMPARE(read(R"({"role":"assistant","content":"x","imageBase64":null})")->imageBase64, std::nullopt);
        QCOMPARE(read(R"({"role":"system","content":"x","extra":1})")->role, QStringLiteral("system"));
        QVERIFY(!read(R"({"role":"user"})"));
        QVERIFY(!read(R"({"content":"x"})"));
        QVERIFY(!read(R"({"role":"user","content":5})"));
        QVERIFY(!read(R"({"role":"user","content":"x","imageBase64":7})"));
        QVERIFY(!ChatTurn::fromJson(QJsonValue(QStringLiteral("not an object"))));
    }

    void chatMessageIdentity()
    {
        ChatMessage a = user(QStringLiteral("same"));
        const ChatMessage b = user(QStringLiteral("same"));
        QVERIFY(a.id() != b.id());
        QVERIFY(!a.id().isNull());
        const QUuid id = a.id();
        const QDateTime date = a.date();
        a.setText(QStringLiteral("grown in place"));
        QCOMPARE(a.id(), id);
        QCOMPARE(a.date(), date);
        QCOMPARE(a.role(), ChatMessage::Role::user);
        QCOMPARE(ChatMessage::roleFromRawValue(u"assistant"), ChatMessage::Role::assistant);
        QVERIFY(!ChatMessage::roleFromRawValue(u"system"));
        QVERIFY(!ChatMessage::roleFromRawValue(u"User"));
    }

    void datesAreSecondsSince2001()
    {
        const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
        QCOMPARE(ChatMessage::referenceSeconds(reference), 0.0);
        QCOMPARE(ChatMessage::referenceSeconds(reference.addMSecs(1500)), 1.5);
        QCOMPARE(ChatMessage::referenceSeconds(QDateTime(QDate(1970, 1, 1), QTime(0, 0), QTimeZone::utc())), -978307200.0);
        QCOMPARE(*ChatMessage::fromReferenceSeconds(786240000.25), QDateTime(QDate(2025, 12, 1), QTime(0, 0, 0, 250), QTimeZone::utc()));
        QVERIFY(!ChatMessage::fromReferenceSeconds(1e300));
        QVERIFY(!ChatMessage::fromReferenceSeconds(std::nan("")));

        const ChatMessage m = assistant(QStringLiteral("x"));
        const QJsonObject stored = m.toJson();
        QCOMPARE(stored.size(), 3);
        QVERIFY(stored.value(QStringLiteral("date")).isDouble());
        QVERIFY(qAbs(stored.value(QStringLiteral("date")).toDouble() - ChatMessage::referenceSeconds(QDateTime::currentDateTimeUtc())) < 5);
        // The date comes back; a message without one (or with nonsense) is dated now.
        QCOMPARE(ChatMessage::fromJson(stored)->date(), m.date());
        const auto undated = ChatMessage::fromJson(QJsonObject{{"role", "user"}, {"text", "t"}, {"date", "yesterday"}});
        QVERIFY(undated && qAbs(undated->date().secsTo(QDateTime::currentDateTimeUtc())) < 5);
    }

    void agents()
    {
        QCOMPARE(AgentModel::allCases(), (QList<AgentModel>{AgentModel::oryn, AgentModel::kestrin}));
        QCOMPARE(AgentModel::fromRawValue(u"oryn"), AgentModel(AgentModel::oryn));
        QCOMPARE(AgentModel::fromRawValue(u"kestrin"), AgentModel(AgentModel::kestrin));
        QVERIFY(!AgentModel::fromRawValue(u"Oryn"));
        QVERIFY(!AgentModel::fromRawValue(u"tarvik"));
        QVERIFY(!AgentModel::fromRawValue(u""));

        const AgentModel oryn = AgentModel::oryn;
        QCOMPARE(oryn.displayName(), QStringLiteral("Oryn"));
        QCOMPARE(oryn.ollamaModel(), QStringLiteral("llama3.2:3b"));
        QCOMPARE(oryn.accent(), Theme::oryn());
        QCOMPARE(oryn.placeholder(), QStringLiteral("Ask Oryn anything"));
        QVERIFY(oryn.systemPrompt().endsWith(QStringLiteral("Never say you are \"just a language model\".")));
        const AgentModel kestrin = AgentModel::kestrin;
        QCOMPARE(kestrin.displayName(), QStringLiteral("Kestrin"));
        QCOMPARE(kestrin.ollamaModel(), QStringLiteral("moondream"));
        QCOMPARE(kestrin.tagline(), QStringLiteral("Sees your screen"));
        QCOMPARE(kestrin.accent(), Theme::kestrin());
        QVERIFY(kestrin.systemPrompt().startsWith(QStringLiteral("You are Kestrin, the vision half")));
        QVERIFY(tarvikSystemPrompt.contains(QStringLiteral("Keep replies SHORT")));

        // QML reads the agent through its properties.
        QCOMPARE(AgentModel::staticMetaObject.property(AgentModel::staticMetaObject.indexOfProperty("tagline"))
                     .readOnGadget(&oryn).toString(),
                 QStringLiteral("Chat and reasoning"));
    }

    // --- the conversation file ---

    void roundTrip()
    {
        ConversationSnapshot saved;
        saved.orynMessages = {user(QStringLiteral("What is 2+2?")), assistant(QStringLiteral("**4**, with \"quotes\" and\nlines")),
                              user(QStringLiteral("emoji 🦅 and ünïcode"))};
        saved.kestrinMessages = {user(QStringLiteral("What's on screen?")), assistant(QStringLiteral("A terminal."))};
        saved.orynHistory = {turn(QStringLiteral("user"), QStringLiteral("What is 2+2?")), turn(QStringLiteral("assistant"), QStringLiteral("4"))};
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
        QVERIFY(!bytes.contains('\n'));
        const QJsonObject root = jsonObject(bytes);
        QCOMPARE(root.keys(), (QStringList{"kestrinMessages", "orynHistory", "orynMessages"}));
        QCOMPARE(root.value("orynHistory").toArray().at(0).toObject().keys(), (QStringList{"content", "role"}));
        QCOMPARE(root.value("orynMessages").toArray().at(0).toObject().keys(), (QStringList{"date", "role", "text"}));
        QVERIFY(!bytes.contains(": ")); // no pretty-printing
        QCOMPARE(modeOf(m_path), 0600);
    }

    void emptySnapshotRoundTrip()
    {
        QCOMPARE(ConversationStore::encode({}), QByteArray(R"({"orynMessages":[],"kestrinMessages":[],"orynHistory":[]})"));
        const auto decoded = ConversationStore::decode(ConversationStore::encode({}));
        QVERIFY(decoded && decoded->isEmpty());
    }

    void encoderAgreesWithTheRecordForms()
    {
        // Every control character (NUL too), quotes, backslashes, non-ASCII.
        QString tricky;
        for (char16_t c = 0; c < 0x20; ++c)
            tricky.append(QChar(c));
        tricky += QStringLiteral("\"\\/ é 漢字 🦅 </script>");
        ConversationSnapshot snapshot;
        snapshot.orynMessages = {user(tricky), assistant(QString())};
        snapshot.kestrinMessages = {assistant(tricky.repeated(3))};
        snapshot.orynHistory = {turn(tricky, tricky), ChatTurn{QStringLiteral("user"), QStringLiteral("x"), tricky}};

        QJsonArray oryn, kestrin, history;
        for (const auto &m : snapshot.orynMessages) oryn.append(m.toJson());
        for (const auto &m : snapshot.kestrinMessages) kestrin.append(m.toJson());
        for (const auto &t : snapshot.orynHistory) history.append(t.toJson());
        const QJsonObject expected{{"orynMessages", oryn}, {"kestrinMessages", kestrin}, {"orynHistory", history}};

        QJsonParseError error{};
        const QJsonDocument written = QJsonDocument::fromJson(ConversationStore::encode(snapshot), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(written.object(), expected);
        const auto decoded = ConversationStore::decode(ConversationStore::encode(snapshot));
        QVERIFY(decoded);
        QCOMPARE(decoded->orynMessages.at(0).text(), tricky);
        QCOMPARE(decoded->orynMessages.at(0).date(), snapshot.orynMessages.at(0).date());

        // Text cut in the middle of a surrogate pair still makes a file that loads.
        const QString cut = QStringLiteral("🦅").left(1);
        QVERIFY(ConversationStore::decode(ConversationStore::encode({{user(cut)}, {}, {turn(cut, cut)}})));
    }

    void readsFilesItDidNotWrite()
    {
        // Another writer's file: no dates, an image turn, unknown keys, spaces.
        const QByteArray file = R"({ "orynMessages": [ {"role": "user", "text": "hi"} ],
            "kestrinMessages": [], "version": 2,
            "orynHistory": [ {"role": "user", "content": "hi", "imageBase64": "AAAA", "x": 1} ] })";
        const auto snapshot = ConversationStore::decode(file);
        QVERIFY(snapshot);
        QCOMPARE(texts(snapshot->orynMessages), QStringList{"user:hi"});
        QCOMPARE(snapshot->orynHistory.at(0).imageBase64, QStringLiteral("AAAA"));
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
        QTest::newRow("list is null") << QByteArray(R"({"orynMessages":null,)" + rest + "}");
        QTest::newRow("role system") << QByteArray(R"({"orynMessages":[{"role":"system","text":"a"}],)" + rest + "}");
        QTest::newRow("role capitalised") << QByteArray(R"({"orynMessages":[{"role":"User","text":"a"}],)" + rest + "}");
        QTest::newRow("message without text") << QByteArray(R"({"orynMessages":[{"role":"user"}],)" + rest + "}");
        QTest::newRow("text is a number") << QByteArray(R"({"orynMessages":[{"role":"user","text":1}],)" + rest + "}");
        QTest::newRow("message is a string") << QByteArray(R"({"orynMessages":["hi"],)" + rest + "}");
        QTest::newRow("turn without content") << QByteArray("{" + messages + R"(,"kestrinMessages":[],"orynHistory":[{"role":"user"}]})");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{", 4);
    }
    void corruptShapesLoadEmpty()
    {
        QFETCH(QByteArray, content);
        writeAll(m_path, content);
        QVERIFY(!ConversationStore::decode(content));
        QVERIFY(ConversationStore::load(m_path).isEmpty());
        QCOMPARE(readAll(m_path), content); // left in place until the next save

        ConversationStore::save(ConversationSnapshot{{user(QStringLiteral("new"))}, {}, {}}, m_path);
        ConversationStore::waitForPendingSaves();
        QCOMPARE(texts(ConversationStore::load(m_path).orynMessages), QStringList{"user:new"});
    }

    void missingFileLoadsEmpty()
    {
        QVERIFY(ConversationStore::load(m_dir.filePath(QStringLiteral("nope/none.json"))).isEmpty());
    }

    void quickSavesLeaveTheLastSnapshot()
    {
        // The first save is big (slow to write), the second small: the second must win.
        ConversationSnapshot big;
        for (int i = 0; i < 20'000; ++i)
            big.orynMessages.append(user(QStringLiteral("message %1").arg(i)));
        ConversationStore::save(big, m_path);
        ConversationStore::save(ConversationSnapshot{{user(QStringLiteral("second"))}, {}, {}}, m_path);
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

    void saveIsAsynchronousAndLoadFollowsIt()
    {
        ConversationSnapshot snapshot;
        for (int i = 0; i < 5'000; ++i)
            snapshot.kestrinMessages.append(assistant(QStringLiteral("reply %1").arg(i)));
        ConversationStore::save(snapshot, m_path);

        // A load requested after a save sees it: both run on the one serial worker.
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
    }

    void loadAsyncSkipsADeadContext()
    {
        bool called = false;
        {
            QObject context;
            ConversationStore::loadAsync(&context, [&](ConversationSnapshot) { called = true; }, m_path);
        }
        ConversationStore::waitForPendingSaves();
        QTest::qWait(50);
        QVERIFY(!called);
    }

    void unwritableFolderFailsSilently()
    {
        writeAll(m_dir.filePath(QStringLiteral("file")), "x");
        const QString path = m_dir.filePath(QStringLiteral("file/conversations.json"));
        ConversationStore::save(ConversationSnapshot{{user(QStringLiteral("lost"))}, {}, {}}, path);
        ConversationStore::waitForPendingSaves();
        QVERIFY(!ConversationStore::writeNow({}, path));
        QVERIFY(ConversationStore::load(path).isEmpty());
    }

    void defaultLocation()
    {
        QCOMPARE(AppPaths::conversations(), AppPaths::support() + QStringLiteral("/conversations.json"));
        QVERIFY(AppPaths::support().startsWith(QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"))));
        QVERIFY(AppPaths::support().endsWith(QStringLiteral("/Kestrin AI")));
        QCOMPARE(AppPaths::voiceDir(), AppPaths::support() + QStringLiteral("/voice"));
        QCOMPARE(modeOf(AppPaths::support()), 0700);
        ConversationStore::save({user(QStringLiteral("a"))}, {}, {turn(QStringLiteral("user"), QStringLiteral("a"))});
        ConversationStore::waitForPendingSaves();
        QCOMPARE(ConversationStore::load().orynHistory.size(), 1);
        QCOMPARE(modeOf(AppPaths::conversations()), 0600);
    }

    void survivesBeingKilledWhileSaving()
    {
        // A child saves ever-changing snapshots in a loop; kill it at random moments. The file must
        // always hold one whole snapshot (all its messages carry the same snapshot number).
        const QString dir = m_dir.filePath(QStringLiteral("crash"));
        QVERIFY(QDir().mkpath(dir));
        const QString path = dir + QStringLiteral("/conversations.json");
        for (int round = 0; round < 25; ++round) {
            QProcess child;
            child.start(QStringLiteral(KESTRIN_HELPER), {QStringLiteral("save-loop"), path});
            QVERIFY(child.waitForStarted(10000));
            QVERIFY(child.waitForReadyRead(30000));
            QThread::msleep(QRandomGenerator::global()->bounded(5, 120));
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished(10000));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);

            const auto snapshot = ConversationStore::decode(readAll(path));
            QVERIFY2(snapshot, qPrintable(QStringLiteral("round %1: the file does not load").arg(round)));
            QVERIFY(!snapshot->orynMessages.isEmpty());
            const QString number = snapshot->orynMessages.first().text().section(u' ', 1, 1);
            for (const ChatMessage &m : snapshot->orynMessages + snapshot->kestrinMessages)
                QCOMPARE(m.text().section(u' ', 1, 1), number);
            QCOMPARE(snapshot->orynHistory.size(), snapshot->orynMessages.size());
            QVERIFY(number.toInt() >= 3);
        }
        // Killed writers may leave temporary files, but never more than one each.
        QVERIFY(QDir(dir).entryList(QDir::Files).size() <= 26);
    }
};

KESTRIN_TEST_MAIN(ConversationTest)
#include "tst_conversation.moc"

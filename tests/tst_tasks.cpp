#include "OrynTask.h"
#include "TaskListWindowController.h"
#include "TaskStore.h"
#include "TestSupport.h"
#include "Theme.h"
#include "UserDefaults.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

using namespace TestSupport;

Q_DECLARE_METATYPE(UserDefaults::Value)

namespace {

const QString tasksKey = QLatin1String(TaskStore::key);
const QString unreadableKey = QLatin1String(TaskStore::unreadableKey);

QStringList texts(const QList<OrynTask> &tasks)
{
    QStringList out;
    for (const OrynTask &task : tasks)
        out << task.text() + (task.done() ? QStringLiteral(" [x]") : QString());
    return out;
}

QByteArray storedBytes(const UserDefaults &defaults)
{
    return defaults.data(tasksKey).value_or(QByteArray("(none)"));
}

QQuickItem *findItem(QQuickItem *root, const QString &name)
{
    if (!root)
        return nullptr;
    if (root->objectName() == name)
        return root;
    const QList<QQuickItem *> children = root->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

QtMessageHandler previousHandler = nullptr;

// The offscreen platform has no window opacity or stacking (the fades run all the same); its
// complaint about each step of a fade would bury everything else.
void quietPlatform(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("This plugin does not support")))
        return;
    previousHandler(type, context, message);
}

} // namespace

class TasksTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_case = 0;

    QString freshPath() { return m_dir.filePath(QStringLiteral("%1.json").arg(++m_case)); }

    static QString id(int n) { return QStringLiteral("00000000-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0')); }

    static QByteArray taskJson(const QString &id, const QString &text, bool done)
    {
        return QJsonDocument(QJsonArray{QJsonObject{{"id", id}, {"text", text}, {"done", done}}}).toJson(QJsonDocument::Compact);
    }

    // -- The window ---------------------------------------------------------------------------

    struct Window
    {
        UserDefaults defaults;
        TaskListWindowController controller;
        explicit Window(const QString &path)
            : defaults(path)
            , controller(defaults)
        {
        }
        TaskStore *store() const { return controller.store(); }
        QQuickWindow *window() const { return controller.window(); }
        QQuickItem *item(const QString &name) const { return findItem(window()->contentItem(), name); }
        QQuickItem *rowPart(int row, const QString &name) const
        {
            return findItem(item(QStringLiteral("taskRow%1").arg(row)), name);
        }
    };

    /// Shows the window and waits until it is fully shown.
    static void showFully(Window &w)
    {
        w.controller.show();
        QVERIFY(w.window());
        QVERIFY(QTest::qWaitForWindowExposed(w.window()));
        QTRY_COMPARE(w.window()->opacity(), 1.0);
    }

    static void type(QQuickWindow *window, const QString &text)
    {
        for (const QChar c : text)
            QTest::keyClick(window, c.toLatin1());
    }

    static void click(QQuickWindow *window, QQuickItem *item)
    {
        QVERIFY(item);
        QVERIFY(item->isVisible());
        const QPoint centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
        QTest::mouseClick(window, Qt::LeftButton, {}, centre);
    }

private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(quietPlatform); }

    // -- Records ------------------------------------------------------------------------------

    void newTaskHasFreshId()
    {
        const OrynTask a(QStringLiteral("x"));
        const OrynTask b(QStringLiteral("x"));
        QVERIFY(!a.id().isNull());
        QVERIFY(a.id() != b.id());
        QCOMPARE(a.done(), false);
        QCOMPARE(OrynTask(QStringLiteral("y"), true).done(), true);
    }

    void uuidText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("upper case") << "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" << true;
        QTest::newRow("lower case") << "e621e1f8-c36c-495a-93fc-0c247a3e6e5f" << true;
        QTest::newRow("mixed case") << "e621E1F8-c36c-495A-93fc-0C247A3E6E5F" << true;
        QTest::newRow("nil") << "00000000-0000-0000-0000-000000000000" << true;
        QTest::newRow("braces") << "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}" << false;
        QTest::newRow("no dashes") << "E621E1F8C36C495A93FC0C247A3E6E5F" << false;
        QTest::newRow("dash misplaced") << "E621E1F-8C36C-495A-93FC-0C247A3E6E5F" << false;
        QTest::newRow("not hexadecimal") << "G621E1F8-C36C-495A-93FC-0C247A3E6E5F" << false;
        QTest::newRow("one short") << "E621E1F8-C36C-495A-93FC-0C247A3E6E5" << false;
        QTest::newRow("one long") << "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF" << false;
        QTest::newRow("blank around") << " E621E1F8-C36C-495A-93FC-0C247A3E6E5" << false;
        QTest::newRow("empty") << "" << false;
    }
    void uuidText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const std::optional<QUuid> uuid = OrynTask::uuidFromString(text);
        QCOMPARE(uuid.has_value(), valid);
        if (valid)
            QCOMPARE(OrynTask::uuidString(*uuid), text.toUpper());
    }

    void storedForm()
    {
        const OrynTask task(QStringLiteral("Call \"the\" bank \u00e9"), true);
        const QByteArray bytes = TaskStore::encode({task, OrynTask(QStringLiteral("Second"))});
        // Compact: no blanks or line breaks between the tokens.
        QVERIFY(!bytes.contains('\n'));
        QVERIFY(!bytes.contains(": "));
        QVERIFY(!bytes.contains(", "));
        const QJsonArray array = QJsonDocument::fromJson(bytes).array();
        QCOMPARE(array.size(), 2);
        const QJsonObject first = array.at(0).toObject();
        QStringList keys = first.keys();
        keys.sort();
        QCOMPARE(keys, (QStringList{"done", "id", "text"}));
        QCOMPARE(first.value("id").toString(), task.id().toString(QUuid::WithoutBraces).toUpper());
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"))
                    .match(first.value("id").toString())
                    .hasMatch());
        QCOMPARE(first.value("text").toString(), task.text());
        QVERIFY(first.value("done").isBool());
        QCOMPARE(first.value("done").toBool(), true);
        QCOMPARE(array.at(1).toObject().value("done"), QJsonValue(false));

        const std::optional<QList<OrynTask>> back = TaskStore::decode(bytes);
        QVERIFY(back);
        QCOMPARE(back->size(), 2);
        QCOMPARE(back->at(0), task);
        QCOMPARE(TaskStore::encode({}), QByteArray("[]"));
    }

    // -- Loading ------------------------------------------------------------------------------

    void nothingStored()
    {
        UserDefaults defaults(freshPath());
        const TaskStore store(defaults);
        QVERIFY(store.tasks().isEmpty());
        QVERIFY(!QFile::exists(defaults.filePath())); // loading an absent list writes nothing
    }

    void loadsAndWritesBackInTodaysForm()
    {
        const QString path = freshPath();
        const QByteArray stored = R"([
            {"id": "e621e1f8-c36c-495a-93fc-0c247a3e6e5f", "text": "Newest", "done": false, "extra": 1},
            {"done": true, "text": "Older", "id": "00000000-0000-4000-8000-000000000002"}
        ])";
        QVERIFY(UserDefaults(path).set(tasksKey, stored));
        UserDefaults defaults(path);
        const TaskStore store(defaults);
        QCOMPARE(texts(store.tasks()), (QStringList{"Newest", "Older [x]"}));
        QCOMPARE(store.tasks().at(0).id(), QUuid::fromString(u"e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
        QCOMPARE(store.count(), 2);
        // Written back at once: upper-case ids, the three keys only, compact.
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));
        QVERIFY(storedBytes(defaults).contains("\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\""));
        QVERIFY(!storedBytes(defaults).contains("extra"));
        QVERIFY(!defaults.contains(unreadableKey));
    }

    void reloadsFromTheFile()
    {
        const QString path = freshPath();
        QList<OrynTask> before;
        {
            UserDefaults defaults(path);
            TaskStore store(defaults);
            store.add(QStringLiteral("first"));
            store.add(QStringLiteral("second"));
            store.toggle(store.tasks().at(1));
            before = store.tasks();
        }
        UserDefaults defaults(path); // a new process, as far as the file goes
        const TaskStore store(defaults);
        QCOMPARE(store.tasks(), before);
        QCOMPARE(texts(store.tasks()), (QStringList{"Second", "First [x]"}));
    }

    void unreadableDocument_data()
    {
        QTest::addColumn<UserDefaults::Value>("stored");
        const auto data = [](const char *json) { return UserDefaults::Value(QByteArray(json)); };
        QTest::newRow("not JSON") << data("[{\"id\":");
        QTest::newRow("empty data") << data("");
        QTest::newRow("an object, not an array") << data(R"({"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false})");
        QTest::newRow("one entry lacks done") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false},{"id":"00000000-0000-4000-8000-000000000002","text":"b"}])");
        QTest::newRow("lacks id") << data(R"([{"text":"a","done":false}])");
        QTest::newRow("lacks text") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","done":false}])");
        QTest::newRow("done as text") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":"true"}])");
        QTest::newRow("done as a number") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":1}])");
        QTest::newRow("text null") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","text":null,"done":false}])");
        QTest::newRow("id not a UUID") << data(R"([{"id":"task-1","text":"a","done":false}])");
        QTest::newRow("id in braces") << data(R"([{"id":"{00000000-0000-4000-8000-000000000001}","text":"a","done":false}])");
        QTest::newRow("id a number") << data(R"([{"id":1,"text":"a","done":false}])");
        QTest::newRow("an array of numbers") << data("[1,2]");
        QTest::newRow("stored as text") << UserDefaults::Value(QStringLiteral(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false}])"));
        QTest::newRow("stored as a boolean") << UserDefaults::Value(true);
        QTest::newRow("stored as a number") << UserDefaults::Value(3.0);
    }
    void unreadableDocument()
    {
        QFETCH(UserDefaults::Value, stored);
        const QString path = freshPath();
        QVERIFY(UserDefaults(path).set(tasksKey, stored));
        const QByteArray fileBefore = readAll(path);
        {
            UserDefaults defaults(path);
            TaskStore store(defaults);
            QVERIFY(store.tasks().isEmpty());
            QCOMPARE(readAll(path), fileBefore); // left as it was
            QVERIFY(defaults.value(tasksKey) == std::optional(stored));

            // A toggle of nothing stored changes nothing.
            store.toggle(OrynTask(QStringLiteral("a")));
            QCOMPARE(readAll(path), fileBefore);

            // The first change writes the list, and the old document is kept aside.
            store.add(QStringLiteral("new"));
            QVERIFY(defaults.value(unreadableKey) == std::optional(stored));
            QCOMPARE(texts(*TaskStore::decode(storedBytes(defaults))), QStringList{"New"});

            // Only once: the next change leaves the copy alone.
            QVERIFY(defaults.set(unreadableKey, UserDefaults::Value(QStringLiteral("marker"))));
            store.add(QStringLiteral("newer"));
            QCOMPARE(defaults.text(unreadableKey), std::optional(QStringLiteral("marker")));
        }
        UserDefaults reread(path);
        const TaskStore store(reread);
        QCOMPARE(texts(store.tasks()), (QStringList{"Newer", "New"}));
    }

    void emptyArrayLoads()
    {
        const QString path = freshPath();
        QVERIFY(UserDefaults(path).set(tasksKey, QByteArray(" [ ] ")));
        UserDefaults defaults(path);
        const TaskStore store(defaults);
        QVERIFY(store.tasks().isEmpty());
        QCOMPARE(storedBytes(defaults), QByteArray("[]"));
        QVERIFY(!defaults.contains(unreadableKey));
    }

    // -- Changing -----------------------------------------------------------------------------

    void add_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("stored"); // empty: nothing added
        QTest::newRow("leading blanks") << "  call the bank" << "Call the bank";
        QTest::newRow("blanks and newlines around") << "\n\t buy milk \r\n" << "Buy milk";
        QTest::newRow("no-break space around") << "\u00a0buy milk\u2003" << "Buy milk";
        QTest::newRow("only the first letter") << "iPhone CHARGER and more" << "IPhone CHARGER and more";
        QTest::newRow("already capital") << "Walk" << "Walk";
        QTest::newRow("inner blanks kept") << "a  b\nc" << "A  b\nc";
        QTest::newRow("digit first") << "3 eggs" << "3 eggs";
        QTest::newRow("no upper-case form") << "\u65e5\u672c trip" << "\u65e5\u672c trip";
        QTest::newRow("punctuation first") << "\"quoted\" thing" << "\"quoted\" thing";
        QTest::newRow("accented") << "\u00e9clair" << "\u00c9clair";
        QTest::newRow("combining accent stays with its letter") << "e\u0301clair" << "E\u0301clair";
        QTest::newRow("sharp s grows") << "\u00dfeta" << "SSeta";
        QTest::newRow("one letter") << "x" << "X";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("blanks") << "   " << "";
        QTest::newRow("blanks and newlines") << " \n\t\r\n " << "";
    }
    void add()
    {
        QFETCH(QString, text);
        QFETCH(QString, stored);
        UserDefaults defaults(freshPath());
        TaskStore store(defaults);
        QVERIFY(defaults.set(tasksKey, QByteArray("sentinel")));
        QSignalSpy changed(&store, &TaskStore::tasksChanged);
        store.add(text);
        if (stored.isEmpty()) {
            QVERIFY(store.tasks().isEmpty());
            QCOMPARE(changed.count(), 0);
            QCOMPARE(storedBytes(defaults), QByteArray("sentinel")); // nothing written
            return;
        }
        QCOMPARE(store.tasks().size(), 1);
        QCOMPARE(store.tasks().first().text(), stored);
        QCOMPARE(store.tasks().first().done(), false);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));
    }

    void addPutsNewestFirst()
    {
        UserDefaults defaults(freshPath());
        TaskStore store(defaults);
        QSignalSpy inserted(&store, &QAbstractItemModel::rowsInserted);
        QSignalSpy counted(&store, &TaskStore::countChanged);
        store.add(QStringLiteral("one"));
        store.add(QStringLiteral("same"));
        store.add(QStringLiteral("same"));
        QCOMPARE(texts(store.tasks()), (QStringList{"Same", "Same", "One"}));
        QVERIFY(store.tasks().at(0).id() != store.tasks().at(1).id());
        QCOMPARE(inserted.count(), 3);
        for (const QList<QVariant> &signal : std::as_const(inserted))
            QCOMPARE(signal.at(1).toInt(), 0); // always at the top
        QCOMPARE(counted.count(), 3);
        QCOMPARE(store.rowCount(), 3);
        QCOMPARE(store.data(store.index(0), TaskStore::textRole).toString(), QStringLiteral("Same"));
        QCOMPARE(store.data(store.index(2), TaskStore::taskIdRole).toString(), OrynTask::uuidString(store.tasks().at(2).id()));
        QCOMPARE(store.data(store.index(2), TaskStore::taskRole).value<OrynTask>(), store.tasks().at(2));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Index .* is not valid")));
        QVERIFY(!store.data(store.index(3), TaskStore::textRole).isValid());
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));
    }

    void toggle()
    {
        const QString path = freshPath();
        // Two entries share an id: the first one is ticked.
        QVERIFY(UserDefaults(path).set(tasksKey, QByteArray("[") + taskJson(id(1), "a", false).mid(1).chopped(1) + ","
                                                    + taskJson(id(2), "b", false).mid(1).chopped(1) + ","
                                                    + taskJson(id(1), "c", false).mid(1).chopped(1) + "]"));
        UserDefaults defaults(path);
        TaskStore store(defaults);
        QCOMPARE(texts(store.tasks()), (QStringList{"a", "b", "c"}));
        QSignalSpy dataChanged(&store, &QAbstractItemModel::dataChanged);
        QSignalSpy changed(&store, &TaskStore::tasksChanged);

        const OrynTask first = store.tasks().at(0);
        store.toggle(first); // the caller's copy need not be current: only its id counts
        QCOMPARE(texts(store.tasks()), (QStringList{"a [x]", "b", "c"}));
        QCOMPARE(dataChanged.count(), 1);
        QCOMPARE(dataChanged.at(0).at(0).toModelIndex().row(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));
        store.toggle(first);
        QCOMPARE(texts(store.tasks()), (QStringList{"a", "b", "c"}));
        store.toggle(store.tasks().at(1));
        QCOMPARE(texts(store.tasks()), (QStringList{"a", "b [x]", "c"}));
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));

        // A task not stored: nothing changes and nothing is written.
        QVERIFY(defaults.set(tasksKey, QByteArray("sentinel")));
        changed.clear();
        store.toggle(OrynTask(QStringLiteral("a")));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(storedBytes(defaults), QByteArray("sentinel"));
    }

    void remove()
    {
        const QString path = freshPath();
        QVERIFY(UserDefaults(path).set(tasksKey, QByteArray("[") + taskJson(id(1), "a", false).mid(1).chopped(1) + ","
                                                    + taskJson(id(2), "b", true).mid(1).chopped(1) + ","
                                                    + taskJson(id(1), "c", false).mid(1).chopped(1) + ","
                                                    + taskJson(id(3), "d", false).mid(1).chopped(1) + "]"));
        UserDefaults defaults(path);
        TaskStore store(defaults);
        QSignalSpy removed(&store, &QAbstractItemModel::rowsRemoved);
        QSignalSpy counted(&store, &TaskStore::countChanged);

        store.remove(store.tasks().at(0)); // every copy of the id goes
        QCOMPARE(texts(store.tasks()), (QStringList{"b [x]", "d"}));
        QCOMPARE(removed.count(), 2);
        QCOMPARE(counted.count(), 1);
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));

        // A task not stored: the list is written all the same, unchanged.
        QVERIFY(defaults.set(tasksKey, QByteArray("sentinel")));
        QSignalSpy changed(&store, &TaskStore::tasksChanged);
        store.remove(OrynTask(QStringLiteral("b")));
        QCOMPARE(texts(store.tasks()), (QStringList{"b [x]", "d"}));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));

        store.remove(store.tasks().at(1));
        store.remove(store.tasks().at(0));
        QVERIFY(store.tasks().isEmpty());
        QCOMPARE(storedBytes(defaults), QByteArray("[]"));
    }

    // -- The window ---------------------------------------------------------------------------

    void placement_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("window");
        QTest::newRow("full HD") << QRect(0, 0, 1920, 1080) << QRect(1540, 320, 320, 440);
        QTest::newRow("panel at the top") << QRect(0, 32, 1920, 1048) << QRect(1540, 336, 320, 440);
        QTest::newRow("second screen") << QRect(1920, 0, 1280, 1024) << QRect(2820, 292, 320, 440);
    }
    void placement()
    {
        QFETCH(QRect, available);
        QFETCH(QRect, window);
        QCOMPARE(TaskListWindowController::placement(available), window);
        // 60 from the right edge, centred vertically.
        QCOMPARE(available.x() + available.width() - (window.x() + window.width()), 60);
        QCOMPARE(window.center().y() - available.center().y(), 0);
    }

    void windowIsMadeOnceAndFloats()
    {
        Window w(freshPath());
        QVERIFY(!w.window());
        showFully(w);
        QQuickWindow *window = w.window();
        QCOMPARE(window->geometry(),
                 TaskListWindowController::placement(QGuiApplication::primaryScreen()->availableGeometry()));
        QCOMPARE(window->size(), QSize(320, 440));
        const Qt::WindowFlags flags = window->flags();
        QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
        QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool); // no taskbar entry
        QVERIFY(!flags.testFlag(Qt::WindowDoesNotAcceptFocus)); // the field must take typing
        QCOMPARE(window->color(), QColor(Qt::transparent));
        QCOMPARE(window->property("_q_showWithoutActivating").toBool(), true);

        QQuickItem *view = w.item(QStringLiteral("taskListView"));
        QVERIFY(view);
        QCOMPARE(view->size(), QSizeF(320, 440));
        QCOMPARE(view->property("color").value<QColor>(), Theme::panel());
        QCOMPARE(view->property("radius").toDouble(), 16.0);

        w.controller.show(); // again: the same window, still fully shown
        QCOMPARE(w.window(), window);
        QTRY_COMPARE(window->opacity(), 1.0);
        QVERIFY(window->isVisible());
    }

    void emptyListShowsTheHint()
    {
        Window w(freshPath());
        showFully(w);
        QQuickItem *hint = w.item(QStringLiteral("emptyHint"));
        QVERIFY(hint);
        QVERIFY(hint->isVisible());
        QCOMPARE(hint->property("text").toString(), QStringLiteral("No tasks yet. Try saying \"Tarvik, add a task to\u2026\""));
        QVERIFY(!w.item(QStringLiteral("taskRow0")));

        w.store()->add(QStringLiteral("something"));
        QTRY_VERIFY(!hint->isVisible());
        QVERIFY(w.item(QStringLiteral("taskRow0")));
    }

    void typingAddsTasks()
    {
        Window w(freshPath());
        showFully(w);
        QQuickItem *field = w.item(QStringLiteral("newTaskField"));
        QVERIFY(field);
        QCOMPARE(field->property("placeholderText").toString(), QStringLiteral("New task"));
        click(w.window(), field);
        QTRY_VERIFY(field->hasActiveFocus());

        type(w.window(), QStringLiteral("  buy milk "));
        QCOMPARE(field->property("text").toString(), QStringLiteral("  buy milk "));
        QTest::keyClick(w.window(), Qt::Key_Return);
        QCOMPARE(texts(w.store()->tasks()), QStringList{"Buy milk"});
        QCOMPARE(field->property("text").toString(), QString());

        // Blank text adds nothing, but the field is emptied all the same.
        type(w.window(), QStringLiteral("   "));
        QTest::keyClick(w.window(), Qt::Key_Enter);
        QCOMPARE(texts(w.store()->tasks()), QStringList{"Buy milk"});
        QCOMPARE(field->property("text").toString(), QString());

        type(w.window(), QStringLiteral("call mum"));
        QTest::keyClick(w.window(), Qt::Key_Return);
        QCOMPARE(texts(w.store()->tasks()), (QStringList{"Call mum", "Buy milk"}));
        QTRY_COMPARE(w.rowPart(0, QStringLiteral("taskText"))->property("text").toString(), QStringLiteral("Call mum"));
        QCOMPARE(TaskStore::decode(storedBytes(w.defaults))->size(), 2);
    }

    void tickingAndDeleting()
    {
        Window w(freshPath());
        w.store()->add(QStringLiteral("first"));
        w.store()->add(QStringLiteral("second"));
        showFully(w);

        QQuickItem *text = w.rowPart(1, QStringLiteral("taskText"));
        QVERIFY(text);
        QCOMPARE(text->property("text").toString(), QStringLiteral("First"));
        QCOMPARE(text->property("color").value<QColor>(), Theme::textPrimary());
        QCOMPARE(text->property("font").value<QFont>().strikeOut(), false);

        click(w.window(), w.rowPart(1, QStringLiteral("taskToggle")));
        QCOMPARE(texts(w.store()->tasks()), (QStringList{"Second", "First [x]"}));
        QTRY_COMPARE(text->property("font").value<QFont>().strikeOut(), true);
        QCOMPARE(text->property("color").value<QColor>(), Theme::textSecondary());
        QCOMPARE(w.rowPart(1, QStringLiteral("taskText")), text); // the row did not move

        click(w.window(), w.rowPart(1, QStringLiteral("taskToggle")));
        QCOMPARE(texts(w.store()->tasks()), (QStringList{"Second", "First"}));
        QTRY_COMPARE(text->property("font").value<QFont>().strikeOut(), false);
        QCOMPARE(text->property("color").value<QColor>(), Theme::textPrimary());

        click(w.window(), w.rowPart(0, QStringLiteral("taskRemove")));
        QCOMPARE(texts(w.store()->tasks()), QStringList{"First"});
        QTRY_COMPARE(w.rowPart(0, QStringLiteral("taskText"))->property("text").toString(), QStringLiteral("First"));
        QTRY_VERIFY(!w.item(QStringLiteral("taskRow1")));
        QCOMPARE(storedBytes(w.defaults), TaskStore::encode(w.store()->tasks()));
    }

    void voiceAddShowsAtTheTop()
    {
        Window w(freshPath());
        w.store()->add(QStringLiteral("typed"));
        showFully(w);
        w.controller.store()->add(QStringLiteral("from the router"));
        QTRY_COMPARE(w.rowPart(0, QStringLiteral("taskText"))->property("text").toString(), QStringLiteral("From the router"));
        QCOMPARE(w.rowPart(1, QStringLiteral("taskText"))->property("text").toString(), QStringLiteral("Typed"));
    }

    void closeButtonHidesAndShowBringsBack()
    {
        Window w(freshPath());
        showFully(w);
        QQuickWindow *window = w.window();
        click(window, w.item(QStringLiteral("closeButton")));
        QTRY_VERIFY(!window->isVisible());
        QCOMPARE(window->opacity(), 0.0);

        w.controller.show();
        QCOMPARE(w.window(), window); // the same window, kept while hidden
        QVERIFY(window->isVisible());
        QTRY_COMPARE(window->opacity(), 1.0);
        QVERIFY(window->isVisible());
    }

    void showWhileFadingOutKeepsTheWindow()
    {
        Window w(freshPath());
        showFully(w);
        QQuickWindow *window = w.window();
        click(window, w.item(QStringLiteral("closeButton")));
        QTRY_VERIFY(window->opacity() < 1.0);
        QVERIFY(window->isVisible());
        w.controller.show(); // before the fade-out ends
        QTRY_COMPARE(window->opacity(), 1.0);
        QVERIFY(window->isVisible());

        // And the other way round: a close while fading in ends hidden.
        click(window, w.item(QStringLiteral("closeButton")));
        QTRY_VERIFY(!window->isVisible());
        w.controller.show();
        click(window, w.item(QStringLiteral("closeButton")));
        QTRY_VERIFY(!window->isVisible());
        QCOMPARE(window->opacity(), 0.0);
    }
};

KESTRIN_GUI_TEST_MAIN(TasksTest)
#include "tst_tasks.moc"

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
    QQuickItem *found = root && root->objectName() == name ? root : nullptr;
    for (QQuickItem *child : root ? root->childItems() : QList<QQuickItem *>())
        found = found ? found : findItem(child, name);
    return found;
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

    /// A file holding the tasks "id-number:text[:x]", as written by an older program.
    QString storedFile(const QStringList &tasks)
    {
        QJsonArray array;
        for (const QString &task : tasks)
            array.append(QJsonObject{{"id", id(task.section(u':', 0, 0).toInt())}, {"text", task.section(u':', 1, 1)},
                                     {"done", task.endsWith(":x")}});
        const QString path = freshPath();
        [&] { QVERIFY(UserDefaults(path).set(tasksKey, QJsonDocument(array).toJson())); }();
        return path;
    }

    struct Window
    {
        UserDefaults defaults;
        TaskListWindowController controller;
        explicit Window(const QString &path) : defaults(path), controller(defaults) {}
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

    // -- Records and their stored form --------------------------------------------------------

    void uuidText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("upper case") << "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" << true;
        QTest::newRow("mixed case") << "e621E1F8-c36c-495A-93fc-0C247A3E6E5F" << true;
        QTest::newRow("braces") << "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}" << false;
        QTest::newRow("dash misplaced") << "E621E1F-8C36C-495A-93FC-0C247A3E6E5F" << false;
        QTest::newRow("not hexadecimal") << "G621E1F8-C36C-495A-93FC-0C247A3E6E5F" << false;
        QTest::newRow("one long") << "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF" << false;
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
        QVERIFY(task.id() != OrynTask(task.text()).id());
        const QByteArray bytes = TaskStore::encode({task, OrynTask(QStringLiteral("Second"))});
        const QString upperId = task.id().toString(QUuid::WithoutBraces).toUpper();
        const QByteArray expected = "[{\"done\":true,\"id\":\"" + upperId.toLatin1()
            + "\",\"text\":\"Call \\\"the\\\" bank \xc3\xa9\"},{\"done\":false,\"id\":\"";
        QVERIFY2(bytes.startsWith(expected), bytes.constData()); // compact, upper-case id
        const std::optional<QList<OrynTask>> back = TaskStore::decode(bytes);
        QVERIFY(back && back->size() == 2);
        QCOMPARE(back->at(0), task);
        QCOMPARE(TaskStore::encode({}), QByteArray("[]"));
    }

    // -- Loading ------------------------------------------------------------------------------

    void loadsAndWritesBackInTodaysForm()
    {
        UserDefaults empty(freshPath());
        QVERIFY(TaskStore(empty).tasks().isEmpty());
        QVERIFY(!QFile::exists(empty.filePath())); // loading an absent list writes nothing

        const QString path = freshPath();
        QVERIFY(UserDefaults(path).set(tasksKey, QByteArray(R"([
            {"id": "e621e1f8-c36c-495a-93fc-0c247a3e6e5f", "text": "Newest", "done": false, "extra": 1},
            {"done": true, "text": "Older", "id": "00000000-0000-4000-8000-000000000002"}])")));
        UserDefaults defaults(path);
        const TaskStore store(defaults);
        QCOMPARE(texts(store.tasks()), (QStringList{"Newest", "Older [x]"}));
        QCOMPARE(store.tasks().at(0).id(), QUuid::fromString(u"e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
        // Written back at once: upper-case ids, the three keys only, compact.
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));
        QVERIFY(storedBytes(defaults).contains("\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\""));
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
        QCOMPARE(TaskStore(defaults).tasks(), before);
        QCOMPARE(texts(before), (QStringList{"Second", "First [x]"}));
    }

    void unreadableDocument_data()
    {
        QTest::addColumn<UserDefaults::Value>("stored");
        const auto data = [](const char *json) { return UserDefaults::Value(QByteArray(json)); };
        QTest::newRow("not JSON") << data("[{\"id\":");
        QTest::newRow("an object, not an array") << data(R"({"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false})");
        QTest::newRow("one entry lacks done") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false},{"id":"00000000-0000-4000-8000-000000000002","text":"b"}])");
        QTest::newRow("done as text") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":"true"}])");
        QTest::newRow("id not a UUID") << data(R"([{"id":"task-1","text":"a","done":false}])");
        QTest::newRow("stored as text") << UserDefaults::Value(QStringLiteral(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false}])"));
        QTest::newRow("stored as a boolean") << UserDefaults::Value(true);
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
            store.toggle(OrynTask(QStringLiteral("a"))); // changes nothing
            QCOMPARE(readAll(path), fileBefore); // left as it was

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
        QCOMPARE(texts(TaskStore(reread).tasks()), (QStringList{"Newer", "New"}));
    }

    // -- Changing -----------------------------------------------------------------------------

    void add_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("stored"); // empty: nothing added
        QTest::newRow("blanks and newlines around") << "\n\t buy milk \r\n" << "Buy milk";
        QTest::newRow("no-break space around") << "\u00a0buy milk\u2003" << "Buy milk";
        QTest::newRow("only the first letter") << "iPhone CHARGER  and\nmore" << "IPhone CHARGER  and\nmore";
        QTest::newRow("combining accent stays with its letter") << "e\u0301clair" << "E\u0301clair";
        QTest::newRow("sharp s grows") << "\u00dfeta" << "SSeta";
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
        QCOMPARE(texts(store.tasks()), stored.isEmpty() ? QStringList() : QStringList{stored});
        QCOMPARE(changed.count(), stored.isEmpty() ? 0 : 1);
        QCOMPARE(storedBytes(defaults), stored.isEmpty() ? QByteArray("sentinel") : TaskStore::encode(store.tasks()));
    }

    void addPutsNewestFirst()
    {
        UserDefaults defaults(freshPath());
        TaskStore store(defaults);
        QSignalSpy inserted(&store, &QAbstractItemModel::rowsInserted);
        store.add(QStringLiteral("one"));
        store.add(QStringLiteral("same"));
        store.add(QStringLiteral("same"));
        QCOMPARE(texts(store.tasks()), (QStringList{"Same", "Same", "One"}));
        QVERIFY(store.tasks().at(0).id() != store.tasks().at(1).id());
        QCOMPARE(inserted.count(), 3);
        for (const QList<QVariant> &signal : std::as_const(inserted))
            QCOMPARE(signal.at(1).toInt(), 0); // always at the top
        QCOMPARE(store.data(store.index(2), TaskStore::taskRole).value<OrynTask>(), store.tasks().at(2));
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));
    }

    void toggleAndRemove()
    {
        // Two entries share an id: the first one is ticked, and both are removed.
        UserDefaults defaults(storedFile({"1:a", "2:b", "1:c", "3:d"}));
        TaskStore store(defaults);
        QSignalSpy changed(&store, &TaskStore::tasksChanged);
        const OrynTask first = store.tasks().at(0);
        store.toggle(first);
        QCOMPARE(texts(store.tasks()), (QStringList{"a [x]", "b", "c", "d"}));
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));
        store.toggle(first); // the caller's copy need not be current: only its id counts
        store.toggle(store.tasks().at(1));
        QCOMPARE(texts(store.tasks()), (QStringList{"a", "b [x]", "c", "d"}));
        QCOMPARE(changed.count(), 3);

        // A task not stored: toggling changes and writes nothing.
        QVERIFY(defaults.set(tasksKey, QByteArray("sentinel")));
        store.toggle(OrynTask(QStringLiteral("a")));
        QCOMPARE(changed.count(), 3);
        QCOMPARE(storedBytes(defaults), QByteArray("sentinel"));

        QSignalSpy removed(&store, &QAbstractItemModel::rowsRemoved);
        store.remove(first);
        QCOMPARE(texts(store.tasks()), (QStringList{"b [x]", "d"}));
        QCOMPARE(removed.count(), 2);
        QCOMPARE(storedBytes(defaults), TaskStore::encode(store.tasks()));
        store.remove(store.tasks().at(1));
        store.remove(store.tasks().at(0));
        QCOMPARE(storedBytes(defaults), QByteArray("[]"));
    }

    // -- The window ---------------------------------------------------------------------------

    void windowIsMadeOnceAndFloats()
    {
        QCOMPARE(TaskListWindowController::placement(QRect(1920, 32, 1280, 1024)), QRect(2820, 324, 320, 440));
        Window w(freshPath());
        QVERIFY(!w.window());
        showFully(w);
        QQuickWindow *window = w.window();
        QCOMPARE(window->geometry(),
                 TaskListWindowController::placement(QGuiApplication::primaryScreen()->availableGeometry()));
        const Qt::WindowFlags flags = window->flags();
        QVERIFY(flags.testFlag(Qt::FramelessWindowHint) && flags.testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool); // no taskbar entry
        QVERIFY(!flags.testFlag(Qt::WindowDoesNotAcceptFocus)); // the field must take typing
        QCOMPARE(window->property("_q_showWithoutActivating").toBool(), true);
        w.controller.show(); // again: the same window
        QCOMPARE(w.window(), window);
    }

    void typingAddsTasks()
    {
        Window w(freshPath());
        showFully(w);
        QQuickItem *hint = w.item(QStringLiteral("emptyHint"));
        QVERIFY(hint && hint->isVisible());
        QQuickItem *field = w.item(QStringLiteral("newTaskField"));
        click(w.window(), field);
        QTRY_VERIFY(field->hasActiveFocus());

        type(w.window(), QStringLiteral("  buy milk "));
        QTest::keyClick(w.window(), Qt::Key_Return);
        QCOMPARE(texts(w.store()->tasks()), QStringList{"Buy milk"});
        QCOMPARE(field->property("text").toString(), QString());
        QTRY_VERIFY(!hint->isVisible());

        // Blank text adds nothing, but the field is emptied all the same.
        type(w.window(), QStringLiteral("   "));
        QTest::keyClick(w.window(), Qt::Key_Enter);
        QCOMPARE(texts(w.store()->tasks()), QStringList{"Buy milk"});
        QCOMPARE(field->property("text").toString(), QString());

        w.store()->add(QStringLiteral("from the router")); // a voice command's task shows at the top
        QTRY_COMPARE(w.rowPart(0, QStringLiteral("taskText"))->property("text").toString(), QStringLiteral("From the router"));
        QCOMPARE(w.rowPart(1, QStringLiteral("taskText"))->property("text").toString(), QStringLiteral("Buy milk"));
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
        QCOMPARE(text->property("font").value<QFont>().strikeOut(), false);

        click(w.window(), w.rowPart(1, QStringLiteral("taskToggle")));
        QCOMPARE(texts(w.store()->tasks()), (QStringList{"Second", "First [x]"}));
        QTRY_COMPARE(text->property("font").value<QFont>().strikeOut(), true);
        QCOMPARE(text->property("color").value<QColor>(), Theme::textSecondary());
        click(w.window(), w.rowPart(1, QStringLiteral("taskToggle")));
        QCOMPARE(texts(w.store()->tasks()), (QStringList{"Second", "First"}));
        QTRY_COMPARE(text->property("font").value<QFont>().strikeOut(), false);

        click(w.window(), w.rowPart(0, QStringLiteral("taskRemove")));
        QCOMPARE(texts(w.store()->tasks()), QStringList{"First"});
        QTRY_VERIFY(!w.item(QStringLiteral("taskRow1")));
        QCOMPARE(storedBytes(w.defaults), TaskStore::encode(w.store()->tasks()));
    }

    void closeHidesAndShowBringsBack()
    {
        Window w(freshPath());
        showFully(w);
        QQuickWindow *window = w.window();
        click(window, w.item(QStringLiteral("closeButton")));
        QTRY_VERIFY(window->opacity() < 1.0);
        w.controller.show(); // before the fade-out ends: it stays
        QTRY_COMPARE(window->opacity(), 1.0);
        QVERIFY(window->isVisible());

        click(window, w.item(QStringLiteral("closeButton")));
        QTRY_VERIFY(!window->isVisible());
        QCOMPARE(window->opacity(), 0.0);
        w.controller.show();
        QCOMPARE(w.window(), window); // the same window, kept while hidden
        QTRY_COMPARE(window->opacity(), 1.0);
        QVERIFY(window->isVisible());
    }
};

KESTRIN_GUI_TEST_MAIN(TasksTest)
#include "tst_tasks.moc"

#include "OrynTask.h"
#include "TaskListWindowController.h"
#include "TaskStore.h"
#include "TestSupport.h"
#include "ViewItems.h"
#include "UserDefaults.h"

#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QScreen>
#include <QSignalSpy>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(KestrinAIPlugin)

Q_DECLARE_METATYPE(UserDefaults::Value)

namespace {

const QString tasksKey = QStringLiteral("oryn.tasks");
const QString unreadableKey = QStringLiteral("oryn.tasks.unreadable");

QStringList texts(const QList<OrynTask> &tasks)
{
    QStringList out;
    for (const OrynTask &task : tasks)
        out << task.text() + (task.done() ? QStringLiteral(" [x]") : QString());
    return out;
}

QByteArray stored(const UserDefaults &defaults)
{
    return defaults.data(tasksKey).value_or(QByteArray("(none)"));
}

QtMessageHandler previousHandler = nullptr;

// Offscreen cannot raise windows or set their opacity; its complaints would bury the rest.
void quietPlatform(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!message.startsWith(QLatin1String("This plugin does not support")))
        previousHandler(type, context, message);
}

} // namespace

class TasksTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_case = 0;

    QString freshPath() { return m_dir.filePath(QStringLiteral("%1.json").arg(++m_case)); }

    /// The task window on its own list, shown and faded in.
    struct Window
    {
        UserDefaults defaults;
        TaskListWindowController controller{defaults};
        QQuickWindow *window() const { return controller.window(); }
        /// The content fades; the window's own opacity stays 1.
        qreal opacity() const { return qobject_cast<QQuickView *>(window())->rootObject()->opacity(); }
        QQuickItem *item(const QString &name) const { return ViewItems::find(window()->contentItem(), name); }
        QQuickItem *rowItem(int row, const char *name) const
        {
            return ViewItems::find(item(QStringLiteral("taskRow%1").arg(row)), QLatin1String(name));
        }
        void click(QQuickItem *target) const
        {
            QVERIFY(target && target->isVisible());
            const QPointF centre(target->width() / 2, target->height() / 2);
            QTest::mouseClick(window(), Qt::LeftButton, {}, target->mapToScene(centre).toPoint());
        }
        void type(const QString &text) const
        {
            for (const QChar c : text)
                QTest::keyClick(window(), c.toLatin1());
        }
    };

    static void showFully(Window &w)
    {
        w.controller.show();
        QVERIFY(w.window() && QTest::qWaitForWindowExposed(w.window()));
        QTRY_COMPARE(w.opacity(), 1.0);
    }

private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(quietPlatform); }

    void storedForm()
    {
        // Ids: exactly 8-4-4-4-12 hexadecimal, either case, written upper-case.
        QCOMPARE(OrynTask::uuidString(OrynTask::uuidFromString(u"e621E1F8-c36c-495A-93fc-0C247A3E6E5F").value_or(QUuid())),
                 QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
        for (const QString &bad : {QStringLiteral("{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}"), QStringLiteral("E621E1F-8C36C-495A-93FC-0C247A3E6E5F"),
                                   QStringLiteral("G621E1F8-C36C-495A-93FC-0C247A3E6E5F"), QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5FF")})
            QVERIFY2(!OrynTask::uuidFromString(bad), qPrintable(bad));

        const OrynTask task(QStringLiteral("Call \"the\" bank \u00e9"), true);
        QVERIFY(task.id() != OrynTask(task.text()).id());
        const QByteArray bytes = TaskStore::encode({task, OrynTask(QStringLiteral("Second"))});
        const QByteArray expected = "[{\"done\":true,\"id\":\"" + OrynTask::uuidString(task.id()).toLatin1()
            + "\",\"text\":\"Call \\\"the\\\" bank \xc3\xa9\"},{\"done\":false,\"id\":\"";
        QVERIFY2(bytes.startsWith(expected), bytes.constData()); // compact, upper-case id
        const auto back = TaskStore::decode(bytes);
        QVERIFY(back && back->size() == 2);
        QCOMPARE(back->at(0), task);
    }

    void loadsAndWritesBackInTodaysForm()
    {
        UserDefaults empty(freshPath());
        QVERIFY(TaskStore(empty).tasks().isEmpty());
        QVERIFY(!QFile::exists(empty.filePath())); // an absent list writes nothing

        // An older file: lower-case ids, keys in another order, an extra key, one id twice.
        UserDefaults defaults(freshPath());
        QVERIFY(defaults.set(tasksKey, QByteArray(R"([
            {"id": "e621e1f8-c36c-495a-93fc-0c247a3e6e5f", "text": "Newest", "done": false, "extra": 1},
            {"done": true, "text": "Older", "id": "00000000-0000-4000-8000-000000000002"},
            {"done": false, "text": "Twin", "id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}])")));
        TaskStore store(defaults);
        QCOMPARE(texts(store.tasks()), (QStringList{"Newest", "Older [x]", "Twin"}));
        QCOMPARE(stored(defaults), TaskStore::encode(store.tasks()));
        QVERIFY(stored(defaults).contains("\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\""));
        QVERIFY(!defaults.contains(unreadableKey));
        // The first with an id is ticked; every one with it is removed.
        store.toggle(store.tasks().at(0));
        QCOMPARE(texts(store.tasks()), (QStringList{"Newest [x]", "Older [x]", "Twin"}));
        QSignalSpy removed(&store, &QAbstractItemModel::rowsRemoved);
        store.remove(store.tasks().at(0));
        QCOMPARE(texts(store.tasks()), QStringList{"Older [x]"});
        QCOMPARE(removed.count(), 2);
    }

    void unreadableDocumentIsKeptAside_data()
    {
        QTest::addColumn<UserDefaults::Value>("value");
        const auto data = [](const char *json) { return UserDefaults::Value(QByteArray(json)); };
        QTest::newRow("not JSON") << data("[{\"id\":");
        QTest::newRow("an object") << data(R"({"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false})");
        QTest::newRow("one entry lacks done") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false},{"id":"00000000-0000-4000-8000-000000000002","text":"b"}])");
        QTest::newRow("done as text") << data(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":"true"}])");
        QTest::newRow("stored as text") << UserDefaults::Value(QStringLiteral(R"([{"id":"00000000-0000-4000-8000-000000000001","text":"a","done":false}])"));
    }
    void unreadableDocumentIsKeptAside()
    {
        QFETCH(UserDefaults::Value, value);
        UserDefaults defaults(freshPath());
        QVERIFY(UserDefaults(defaults.filePath()).set(tasksKey, value));
        const QByteArray fileBefore = TestSupport::readAll(defaults.filePath());
        TaskStore store(defaults);
        QVERIFY(store.tasks().isEmpty());
        store.toggle(OrynTask(QStringLiteral("a")));
        QCOMPARE(TestSupport::readAll(defaults.filePath()), fileBefore); // left as it was

        store.add(QStringLiteral("new"));
        QVERIFY(defaults.value(unreadableKey) == std::optional(value));
        QCOMPARE(texts(TaskStore::decode(stored(defaults)).value_or(QList<OrynTask>())), QStringList{"New"});
        QVERIFY(defaults.set(unreadableKey, UserDefaults::Value(QStringLiteral("marker"))));
        store.add(QStringLiteral("newer")); // set aside once only
        QCOMPARE(defaults.text(unreadableKey), std::optional(QStringLiteral("marker")));
    }

    void addToggleRemove()
    {
        UserDefaults defaults(freshPath());
        TaskStore store(defaults);
        QVERIFY(defaults.set(tasksKey, QByteArray("sentinel")));
        QSignalSpy changed(&store, &TaskStore::tasksChanged);
        store.add(QStringLiteral(" \n\t\r\n ")); // blank: nothing changes or is written
        QCOMPARE(changed.count(), 0);
        QCOMPARE(stored(defaults), QByteArray("sentinel"));

        // Trimmed (Unicode blanks too); only the first perceived character upper-cased, "ß" grows.
        QSignalSpy inserted(&store, &QAbstractItemModel::rowsInserted);
        for (const QString &text : {QStringLiteral("\u00dfeta"), QStringLiteral("iPhone CHARGER  and\nmore"),
                                    QStringLiteral("\u00a0buy milk\u2003"), QStringLiteral("\n\t buy milk \r\n")})
            store.add(text);
        QCOMPARE(texts(store.tasks()), (QStringList{"Buy milk", "Buy milk", "IPhone CHARGER  and\nmore", "SSeta"}));
        QVERIFY(store.tasks().at(0).id() != store.tasks().at(1).id());
        for (const QList<QVariant> &signal : std::as_const(inserted))
            QCOMPARE(signal.at(1).toInt(), 0); // always at the top
        QCOMPARE(store.data(store.index(2), TaskStore::taskRole).value<OrynTask>(), store.tasks().at(2));
        QCOMPARE(stored(defaults), TaskStore::encode(store.tasks()));

        const OrynTask first = store.tasks().at(0);
        store.toggle(first);
        store.toggle(store.tasks().at(3));
        store.toggle(first); // the caller's copy need not be current: only its id counts
        QCOMPARE(texts(store.tasks()), (QStringList{"Buy milk", "Buy milk", "IPhone CHARGER  and\nmore", "SSeta [x]"}));
        QCOMPARE(changed.count(), 7);
        UserDefaults reread(defaults.filePath());
        QCOMPARE(TaskStore(reread).tasks(), store.tasks());

        QVERIFY(defaults.set(tasksKey, QByteArray("sentinel")));
        store.toggle(OrynTask(QStringLiteral("A"))); // not stored: nothing changes or is written
        QCOMPARE(changed.count(), 7);
        QCOMPARE(stored(defaults), QByteArray("sentinel"));
        store.remove(first);
        QCOMPARE(store.count(), 3);
        QCOMPARE(stored(defaults), TaskStore::encode(store.tasks()));
    }

    void windowFloatsAndIsKeptWhileHidden()
    {
        QCOMPARE(TaskListWindowController::placement(QRect(1920, 32, 1280, 1024)), QRect(2820, 324, 320, 440));
        Window w{UserDefaults(freshPath())};
        QVERIFY(!w.window());
        showFully(w);
        QQuickWindow *window = w.window();
        QCOMPARE(window->geometry(), TaskListWindowController::placement(QGuiApplication::primaryScreen()->availableGeometry()));
        const Qt::WindowFlags flags = window->flags();
        QVERIFY(flags.testFlag(Qt::FramelessWindowHint) && flags.testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool); // no taskbar entry
        QVERIFY(!flags.testFlag(Qt::WindowDoesNotAcceptFocus)); // the field must take typing
        QCOMPARE(window->property("_q_showWithoutActivating").toBool(), true);

        w.click(w.item(QStringLiteral("closeButton")));
        QTRY_VERIFY(w.opacity() < 1.0);
        QCOMPARE(window->opacity(), 1.0);
        w.controller.show(); // before the fade-out ends: it stays
        QTRY_COMPARE(w.opacity(), 1.0);
        QVERIFY(window->isVisible());
        w.click(w.item(QStringLiteral("closeButton")));
        QTRY_VERIFY(!window->isVisible());
        w.controller.show();
        QCOMPARE(w.window(), window);
        QTRY_VERIFY(window->isVisible() && w.opacity() == 1.0);
    }

    void typingTickingAndDeleting()
    {
        Window w{UserDefaults(freshPath())};
        showFully(w);
        QQuickItem *hint = w.item(QStringLiteral("emptyHint"));
        QVERIFY(hint && hint->isVisible());
        QQuickItem *field = w.item(QStringLiteral("newTaskField"));
        w.click(field);
        QTRY_VERIFY(field->hasActiveFocus());
        w.type(QStringLiteral("  buy milk "));
        QTest::keyClick(w.window(), Qt::Key_Return);
        QCOMPARE(texts(w.controller.store()->tasks()), QStringList{"Buy milk"});
        QCOMPARE(field->property("text").toString(), QString());
        QTRY_VERIFY(!hint->isVisible());

        w.controller.store()->add(QStringLiteral("from the router")); // a voice command's task shows at the top
        QTRY_COMPARE(w.rowItem(0, "taskText")->property("text").toString(), QStringLiteral("From the router"));
        QQuickItem *text = w.rowItem(1, "taskText");
        QCOMPARE(text->property("text").toString(), QStringLiteral("Buy milk"));
        // The column places a new row at its next polish; until then the rows overlap and a click
        // lands on whichever is on top.
        const auto laidOut = [&] {
            const QQuickItem *first = w.item(QStringLiteral("taskRow0"));
            const QQuickItem *second = w.item(QStringLiteral("taskRow1"));
            return first && second && second->y() >= first->y() + first->height();
        };
        QTRY_VERIFY(laidOut());
        w.click(w.rowItem(1, "taskToggle"));
        QCOMPARE(texts(w.controller.store()->tasks()), (QStringList{"From the router", "Buy milk [x]"}));
        QTRY_VERIFY(text->property("font").value<QFont>().strikeOut());
        QTRY_VERIFY(laidOut() && w.rowItem(0, "taskRemove") && w.rowItem(0, "taskRemove")->isVisible());
        w.click(w.rowItem(0, "taskRemove"));
        QCOMPARE(texts(w.controller.store()->tasks()), QStringList{"Buy milk [x]"});
        QTRY_VERIFY(!w.item(QStringLiteral("taskRow1")));
        QCOMPARE(stored(w.defaults), TaskStore::encode(w.controller.store()->tasks()));
    }
};

KESTRIN_GUI_TEST_MAIN(TasksTest)
#include "tst_tasks.moc"

// The edge panel: its placement and pointer rules, its views over a real chat session, and the
// whole program on a private X server with a compositor, driven with xdotool.
//
// What needs the X server runs in kestrin-test-helper (a Qt process connects to one display
// only): its backdrop, a window over the whole screen that prints "press X Y" for each click.

#include "ChatViewModel.h"
#include "EdgePanelController.h"
#include "HoverTrackingView.h"
#include "PanelState.h"
#include "PanelTexts.h"
#include "SetupModel.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "ViewEngine.h"
#include "ViewItems.h"
#include "XvfbServer.h"

#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QQuickItem>
#include <QQuickTextDocument>
#include <QQuickView>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>

using namespace TestSupport;
using namespace ViewItems;
using namespace std::chrono_literals;

namespace {

// How much of @p rect of @p image is the click target's blue, 0 to 1.
double blueShare(const QImage &image, const QRect &rect)
{
    int blue = 0, all = 0;
    for (int y = rect.top(); y <= rect.bottom(); y += 4)
        for (int x = rect.left(); x <= rect.right(); x += 4, ++all)
            blue += image.pixelColor(x, y) == QColor(0x33, 0x66, 0xAA);
    return all ? double(blue) / all : 0;
}

// The runs of bold text in the view's rich text.
QStringList boldTexts(QQuickItem *root)
{
    QStringList bold;
    for (QQuickItem *item : named(root, "prose")) {
        auto *document = item->property("textDocument").value<QQuickTextDocument *>();
        if (!document || !item->isVisible())
            continue;
        for (QTextBlock block = document->textDocument()->begin(); block.isValid(); block = block.next())
            for (auto it = block.begin(); !it.atEnd(); ++it)
                if (it.fragment().charFormat().fontWeight() >= QFont::Bold)
                    bold << it.fragment().text();
    }
    return bold;
}

} // namespace

class PanelTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEngine> m_engine;

private slots:
    void initTestCase()
    {
        m_engine = std::make_unique<TestEngine>();
        QVERIFY(m_engine->listen());
        qputenv("OLLAMA_HOST", m_engine->ollamaHost());
    }

    void placement()
    {
        // Flush with the right edge of the usable area and centred in it, whatever the origin.
        const QList<std::pair<QRect, QRect>> cases{
            {{0, 0, 1920, 1080}, {1484, 190, 436, 700}},
            {{0, 32, 1280, 768}, {844, 66, 436, 700}},       // a top bar
            {{1920, 0, 2560, 1440}, {4044, 370, 436, 700}},  // a second monitor
            {{-1280, 0, 1280, 600}, {-436, -50, 436, 700}},  // shorter than the panel
        };
        for (const auto &[visible, frame] : cases)
            QCOMPARE(EdgePanelController::frameFor(visible), frame);
    }

    void pointerRules()
    {
        PanelState state(PanelState::Timing{50ms, 5s, 8s});
        HoverTrackingView view;
        view.setSize({436, 700});
        QStringList reports;
        view.isExpandedProvider = [&] { return state.isExpanded(); };
        view.onHoverChange = [&](bool hovering) {
            reports << (hovering ? "in" : "out");
            state.hoverChanged(hovering);
        };
        view.pointerMoved({100, 100}); // no areas yet
        view.setupTrackingAreas(EdgePanelController::bulgeRect());
        view.setupTrackingAreas({0, 0, 436, 700}); // only the first call counts

        // Collapsed: the transparent part of the window does nothing, the tab opens the panel.
        view.pointerMoved({100, 350});
        QVERIFY(reports.isEmpty() && !state.isExpanded());
        view.pointerLeft();
        view.pointerMoved({430, 350});
        QCOMPARE(reports, QStringList{"in"});
        QVERIFY(state.isExpanded());

        // Open: leaving the tab for the panel is no exit; leaving the panel is, and coming back
        // in time keeps it open.
        view.pointerMoved({200, 350});
        view.pointerLeft();
        view.pointerMoved({200, 300});
        QCOMPARE(reports, (QStringList{"in", "out", "in"}));
        QTest::qWait(120);
        QVERIFY(state.isExpanded());
        view.pointerLeft();
        QTRY_VERIFY(!state.isExpanded());

        // Closed at once while hovered: moving inside the panel does not reopen it, the tab does.
        view.pointerMoved({430, 350});
        QVERIFY(state.isExpanded());
        view.pointerMoved({200, 350});
        state.collapseNow();
        reports.clear();
        view.pointerMoved({210, 350});
        view.pointerMoved({220, 360});
        QVERIFY(reports.isEmpty() && !state.isExpanded());
        view.pointerMoved({430, 350});
        QCOMPARE(reports, QStringList{"in"});
    }

    void statusLine()
    {
        using S = SetupModel::OllamaState;
        QCOMPARE(PanelTexts::statusLabel(S::checking, true), "Checking local engine");
        QCOMPARE(PanelTexts::statusLabel(S::running, true), "Private. Running on your computer.");
        QCOMPARE(PanelTexts::statusLabel(S::running, false), "Chat model not installed yet");
        QCOMPARE(PanelTexts::statusLabel(S::notRunning, true), "Ollama isn't running");
        QCOMPARE(PanelTexts::statusLabel(S::notInstalled, false), "Ollama isn't installed");
    }

    void views()
    {
        ChatViewModel vm;
        QSignalSpy loaded(&vm, &ChatViewModel::savedConversationLoaded);
        QVERIFY(loaded.count() || loaded.wait());
        PanelState state;
        SetupModel setup;
        QQuickView view(ViewEngine::shared(), nullptr);
        view.setInitialProperties({{"vm", QVariant::fromValue(&vm)},
                                   {"panelState", QVariant::fromValue(&state)},
                                   {"setup", QVariant::fromValue(&setup)}});
        view.setSource(QUrl("qrc:/KestrinAI/views/ContentView.qml"));
        QVERIFY2(view.status() == QQuickView::Ready, qPrintable(view.errors().value(0).toString()));
        view.show();
        QQuickItem *root = view.rootObject();
        state.peek();
        QTRY_COMPARE(find(root, "panelBody")->opacity(), 1.0);

        // Empty: the welcome of the selected agent, no way to clear.
        QCOMPARE(find(root, "emptyTitle")->property("text").toString(), "How can I help?");
        QCOMPARE(shown(root, "suggestion").size(), 3);
        QVERIFY(!find(root, "clearButton")->isEnabled());
        QVERIFY(!find(root, "screenToggle")->isVisible());
        QQuickItem *field = find(root, "inputField");
        QCOMPARE(field->property("placeholderText").toString(), "Ask Oryn anything");

        // Switching swaps the texts, suggestions, placeholder and the screen toggle.
        vm.selectAgent("kestrin");
        QCOMPARE(find(root, "emptyTitle")->property("text").toString(), "What should I look at?");
        QCOMPARE(shown(root, "suggestion").value(0)->property("suggestion").toString(), "What is on my screen right now?");
        QVERIFY(find(root, "screenToggle")->isVisible());
        QCOMPARE(field->property("placeholderText").toString(), "Ask Kestrin about your screen");
        vm.selectAgent("oryn");

        // Return with a blank draft sends nothing; the send button stays off.
        vm.setDraft("   \n");
        vm.submitDraft();
        QVERIFY(!find(root, "sendButton")->isEnabled());
        QCOMPARE(m_engine->requests("/api/chat").size(), 0);

        // A question whose answer does not come: the transcript with the typing row, and Return
        // sends nothing more while it thinks.
        m_engine->script("/api/chat", TestEngine::Reply{.end = TestEngine::Reply::End::Never});
        vm.setDraft("Hello");
        QVERIFY(vm.canSend());
        vm.submitDraft();
        QVERIFY(vm.isThinking());
        QTRY_VERIFY(find(root, "typingRow")->isVisible());
        QVERIFY(!find(root, "emptyState")->isVisible());
        QVERIFY(find(root, "clearButton")->isEnabled());
        vm.setDraft("Again");
        vm.submitDraft();
        QCOMPARE(vm.draft(), "Again");
        QTRY_COMPARE(m_engine->requests("/api/chat").size(), 1);
        vm.cancelCurrent();

        // Consecutive replies share one avatar.
        using Role = ChatMessage::Role;
        vm.messageList()->setMessages({ChatMessage(Role::user, "a"), ChatMessage(Role::assistant, "b"),
                                       ChatMessage(Role::assistant, "c"), ChatMessage(Role::user, "d"),
                                       ChatMessage(Role::assistant, "e")});
        QTRY_COMPARE(shown(root, "assistantAvatar").size(), 2);

        // The demo's bold markdown is drawn bold.
        vm.loadDemoConversation();
        QTRY_VERIFY(boldTexts(root).contains("Days 1 to 5, Tokyo."));
        vm.clear();
        QTRY_VERIFY(find(root, "emptyState")->isVisible());
    }

    void wholeProgram()
    {
        QVERIFY2(XvfbServer::isInstalled(), "Xvfb, xrandr, xsetroot and xcompmgr are needed (tools/packages.txt)");
        XvfbServer server;
        QVERIFY2(server.start({QSize(1280, 800)}, true), qPrintable(server.error()));
        QTemporaryDir home;
        const QProcessEnvironment env = server.environment(childEnvironment(home.path()));
        const auto xdotool = [&](const QStringList &arguments) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.start("xdotool", arguments);
            QVERIFY(p.waitForFinished(5000) && p.exitCode() == 0);
        };
        const auto grab = [&] { return server.screenshot(); };
        const QRect panel(1280 - 436, 50, 420, 700); // the window without its tab strip
        const QString log = home.filePath("data/Kestrin AI/kestrin.log");

        QProcess target;
        target.setProcessEnvironment(env);
        TestSupport::diesWithTheTest(target);
        target.start(QStringLiteral(KESTRIN_HELPER), {"backdrop"});
        QVERIFY(target.waitForReadyRead(10000) && target.readLine().startsWith("ready"));

        QProcess program;
        QProcessEnvironment programEnv = env;
        // A ready engine and setup already seen: no setup window over the panel.
        m_engine->clearScripts();
        m_engine->setInstalledModels({"llama3.2:3b", "moondream"});
        programEnv.insert("OLLAMA_HOST", QString::fromLatin1(m_engine->ollamaHost()));
        writeAll(home.filePath("config/Kestrin AI/defaults.json"), R"({"didSeeSetup": true})");
        program.setProcessEnvironment(programEnv);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        TestSupport::diesWithTheTest(program);
        program.start(KESTRIN_PROGRAM, {"--demo", "--expand"});
        auto stop = qScopeGuard([&] {
            program.terminate();
            program.waitForFinished(5000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("EdgePanel shown: screen=(0.0, 0.0, 1280.0, 800.0) "
                                                       "visibleFrame=(0.0, 0.0, 1280.0, 800.0) "
                                                       "windowFrame=(844.0, 50.0, 436.0, 700.0) isVisible=true level=3 "
                                                       "screensCount=1"),
                                 20000);

        // Open with the demo conversation: dark panel, light text in it.
        QTRY_VERIFY_WITH_TIMEOUT(blueShare(grab(), panel) < 0.01, 10000);

        // Typing reaches the field: the question is saved with the answer.
        xdotool({"mousemove", "1050", "695", "click", "1"}); // the input field
        QTest::qWait(500); // the focus moves after the click is handled; keys before it are lost
        xdotool({"type", "--delay", "20", "Hello from the keyboard"});
        xdotool({"key", "Return"});
        QTRY_VERIFY_WITH_TIMEOUT(readAll(home.filePath("data/Kestrin AI/conversations.json")).contains("Hello from the keyboard"),
                                 10000);

        // The answer released the pin: leaving the panel closes it; the tab stays.
        xdotool({"mousemove", "100", "100"});
        QTRY_VERIFY_WITH_TIMEOUT(blueShare(grab(), panel) > 0.99, 10000);
        QVERIFY(readAll(log).contains("panel hover -> false"));

        // Closed, the window lets clicks through to the window beneath.
        QByteArray presses = target.readAll();
        xdotool({"mousemove", "1000", "400", "click", "1"});
        QTRY_VERIFY2((presses += target.readAll()).contains("press 1000 400"), presses.constData());

        // The tab opens it again, leaving closes it.
        xdotool({"mousemove", "1272", "400"});
        QTRY_VERIFY_WITH_TIMEOUT(blueShare(grab(), panel) < 0.01, 10000);
        xdotool({"mousemove", "600", "400"});
        QTRY_VERIFY_WITH_TIMEOUT(blueShare(grab(), panel) > 0.99, 10000);
        target.kill();
        target.waitForFinished();
    }
};

KESTRIN_GUI_TEST_MAIN(PanelTest)
#include "tst_panel.moc"

// The whole program as its user meets it: the real kestrin-ai on a private X server with a
// compositor, a private sound server whose microphone the test speaks into, the test engine and
// the test voice server. Typed questions to both agents, spoken commands to Tarvik, faults (a
// reply cut off, a voice server crashing in a loop, damaged files) and, through strace, every
// network connection the program makes.

#include "AgentModel.h"
#include "SoundServer.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "WavFile.h"
#include "XvfbServer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Reply = TestEngine::Reply;
using TestSupport::readAll;
using TestSupport::writeAll;

namespace {

const QSize screenSize(1280, 800);
const QColor backdropColour(0x33, 0x66, 0xAA);
const QRect panelRect(1280 - 436 + 16, 50, 420, 700); // the open panel without its tab strip
const QPoint inputField(1050, 695);
const QString supportFolder = QStringLiteral("data/Kestrin AI");

/// The sound server's microphone: PCM written into its FIFO in real time, digital silence
/// between the utterances the test queues, as a microphone never stops delivering.
class Microphone
{
public:
    explicit Microphone(const QString &fifo)
        : m_thread([this, fifo] { run(fifo); })
    {
    }
    ~Microphone()
    {
        m_stop = true;
        m_thread.join();
    }

    /// 16 kHz mono 16-bit samples, played after whatever is queued.
    void say(const QByteArray &pcm)
    {
        const std::lock_guard lock(m_mutex);
        m_queue += pcm;
    }
    bool idle() const
    {
        const std::lock_guard lock(m_mutex);
        return m_queue.isEmpty();
    }

private:
    void run(const QString &fifo)
    {
        constexpr qsizetype piece = 640; // 20 ms
        // The pipe source keeps its FIFO open from the start. It reads only while something
        // records: the rest of the time the pipe fills, and what the microphone hears then is
        // lost, as with a real one (a write this small is all or nothing).
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        auto due = std::chrono::steady_clock::now();
        while (fd >= 0 && !m_stop) {
            QByteArray chunk;
            {
                const std::lock_guard lock(m_mutex);
                chunk = m_queue.left(piece);
                m_queue.remove(0, chunk.size());
            }
            chunk.append(QByteArray(piece - chunk.size(), '\0'));
            if (::write(fd, chunk.constData(), size_t(chunk.size())) < 0 && errno != EAGAIN)
                break;
            std::this_thread::sleep_until(due += 20ms);
        }
        if (fd >= 0)
            ::close(fd);
    }

    mutable std::mutex m_mutex;
    QByteArray m_queue;
    std::atomic<bool> m_stop = false;
    std::thread m_thread; // last: started once the rest exists
};

/// Runs until @p done is true or @p ms pass; the event loop (and so the test engine) runs meanwhile.
template<typename Done>
bool waitFor(Done done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QTest::qWait(50);
    }
    return true;
}

QJsonObject jsonFile(const QString &path)
{
    return QJsonDocument::fromJson(readAll(path)).object();
}

QString contentAt(const QJsonArray &messages, qsizetype i)
{
    return messages.at(i).toObject().value("content").toString();
}

/// "role: text" for each message of a saved transcript (or turn of a saved history).
QStringList saved(const QJsonObject &file, const char *key)
{
    QStringList lines;
    for (const QJsonValue &value : file.value(QLatin1String(key)).toArray()) {
        const QJsonObject o = value.toObject();
        lines << o.value("role").toString() + ": " + (o.contains("text") ? o.value("text") : o.value("content")).toString();
    }
    return lines;
}

/// The same for the messages a request to the engine carries.
QStringList turnsOf(const TestEngine::Request &request) { return saved(request.json(), "messages"); }

/// The tasks stored under "oryn.tasks" in a defaults file.
QJsonArray storedTasks(const QJsonObject &defaults)
{
    const QByteArray data = QByteArray::fromBase64(defaults.value("oryn.tasks").toObject().value("data").toString().toLatin1());
    return QJsonDocument::fromJson(data).array();
}

bool near(QColor a, QColor b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

double shareNear(const QImage &image, const QRect &rect, QColor colour, int tolerance)
{
    int hits = 0, all = 0;
    for (int y = rect.top(); y <= rect.bottom(); y += 4)
        for (int x = rect.left(); x <= rect.right(); x += 4, ++all)
            hits += near(image.pixelColor(x, y), colour, tolerance);
    return all ? double(hits) / all : 0;
}

/// Pixels bright enough to be text on the dark panel.
int brightPixels(const QImage &image, const QRect &rect)
{
    int bright = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            bright += c.red() > 170 && c.green() > 170 && c.blue() > 170;
        }
    return bright;
}

/// What an strace of the program shows of its sockets: the calls that reach anything but a local
/// socket or the engine on 127.0.0.1:port, and how many connections went to each of those.
struct NetworkUse
{
    QStringList forbidden;
    int engineConnections = 0;
    int localConnections = 0;
};

NetworkUse networkUse(const QByteArray &trace, quint16 port)
{
    static const QRegularExpression call(QStringLiteral(R"(^\d+\s+(socket|connect|sendto|sendmsg)\((.*)$)"));
    static const QRegularExpression family(QStringLiteral(R"(sa_family=(AF_\w+))"));
    static const QRegularExpression inet(QStringLiteral("sin_port=htons\\((\\d+)\\), sin_addr=inet_addr\\(\"([^\"]+)\"\\)"));
    NetworkUse use;
    for (const QByteArray &raw : trace.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const QRegularExpressionMatch m = call.match(line);
        if (!m.hasMatch())
            continue;
        const QString name = m.captured(1);
        const QString args = m.captured(2);
        if (name == u"socket") {
            // Which kinds of socket exist at all: local ones, and TCP for the engine.
            if (!args.startsWith(u"AF_UNIX") && !args.startsWith(u"AF_INET,"))
                use.forbidden << line;
            continue;
        }
        for (auto it = family.globalMatch(args); it.hasNext();) {
            const QString kind = it.next().captured(1);
            if (kind == u"AF_UNIX") {
                use.localConnections += name == u"connect";
                continue;
            }
            const QRegularExpressionMatch address = inet.match(args);
            if (kind == u"AF_INET" && name == u"connect" && address.hasMatch() && address.captured(2) == u"127.0.0.1"
                && address.captured(1).toUInt() == port) {
                ++use.engineConnections;
                continue;
            }
            use.forbidden << line;
        }
    }
    return use;
}

} // namespace

class WholeProgramTest : public QObject
{
    Q_OBJECT

    SoundServer m_sound; // first: Qt Multimedia connects to the sound server once
    XvfbServer m_display;
    TestEngine m_engine;
    QTemporaryDir m_work;
    std::unique_ptr<Microphone> m_microphone;
    QProcess m_backdrop;
    QProcess m_pulseEvents;
    QStringList m_pulse; // "new sink-input", "remove source-output"...

    // What the engine answers: Oryn by the question, Tarvik turn by turn, Kestrin always the same.
    QHash<QString, QStringList> m_orynReplies;
    QStringList m_tarvikReplies{QStringLiteral("It is twelve o'clock."), QStringLiteral("Tomorrow will be sunny.")};
    int m_tarvikTurns = 0;
    std::chrono::milliseconds m_interval{0};

    QString fakeVoiceConfig(const QString &name, const QJsonObject &config)
    {
        const QString path = m_work.filePath(name + QStringLiteral(".json"));
        writeAll(path, QJsonDocument(config).toJson());
        return path;
    }

    /// The neural voice "installed" in @p home: the test server behind the interpreter's name.
    /// With @p times, the interpreter writes when each server starts and ends into that folder
    /// (wall clock, seconds), as the program sees its child come and go.
    static void installVoice(const QString &home, const QString &times = {})
    {
        const QString voice = home + u'/' + supportFolder + QStringLiteral("/voice");
        writeAll(voice + "/models/kokoro-v1.0.onnx", "model");
        writeAll(voice + "/models/voices-v1.0.bin", "voices");
        const QByteArray server = "python3 '" KESTRIN_FAKE_VOICE_SERVER "' \"$@\"\n";
        const QByteArray folder = QFile::encodeName(times);
        writeAll(voice + "/venv/bin/python3",
                 times.isEmpty() ? "#!/bin/sh\nexec " + server
                                 : "#!/bin/sh\ndate +%s.%N >> '" + folder + "/started'\n" + server + "status=$?\ndate +%s.%N >> '"
                                       + folder + "/ended'\nexit $status\n");
        QFile::setPermissions(voice + "/venv/bin/python3", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    static QList<double> times(const QString &file)
    {
        QList<double> list;
        for (const QByteArray &line : readAll(file).split('\n'))
            if (!line.trimmed().isEmpty())
                list << line.trimmed().toDouble();
        return list;
    }

    /// The times of the log lines that end in @p message.
    static QList<QDateTime> logged(const QString &home, const QString &message)
    {
        QList<QDateTime> list;
        for (const QString &line : logOf(home).split(u'\n'))
            if (line.endsWith(QStringLiteral("] ") + message))
                list << QDateTime::fromString(line.mid(1, line.indexOf(u']') - 1), Qt::ISODate);
        return list;
    }

    QProcessEnvironment environment(const QString &home, const QString &voiceConfig) const
    {
        QProcessEnvironment env = m_display.environment(TestSupport::childEnvironment(home));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("OLLAMA_HOST"), QString::fromLatin1(m_engine.ollamaHost()));
        env.insert(QStringLiteral("KESTRIN_FAKE_VOICE"), voiceConfig);
        env.insert(QStringLiteral("PULSE_SERVER"), m_sound.serverAddress());
        return env;
    }

    static QString conversationsPath(const QString &home) { return home + u'/' + supportFolder + QStringLiteral("/conversations.json"); }
    static QString defaultsPath(const QString &home) { return home + QStringLiteral("/config/Kestrin AI/defaults.json"); }
    static QString logOf(const QString &home) { return QString::fromUtf8(readAll(home + u'/' + supportFolder + "/kestrin.log")); }

    /// The program's own process id, from its launch line (strace stands between it and us).
    static qint64 programPid(const QString &home)
    {
        static const QRegularExpression launched(QStringLiteral(R"(launched \(pid (\d+)\))"));
        return launched.match(logOf(home)).captured(1).toLongLong();
    }

    bool xdotool(const QStringList &arguments, QByteArray *out = nullptr)
    {
        QProcess p;
        p.setProcessEnvironment(m_display.environment());
        p.start(QStringLiteral("xdotool"), arguments);
        const bool ok = p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (out)
            *out = p.readAllStandardOutput();
        return ok;
    }

    /// The mapped top-level windows of process @p pid, by X window id.
    QHash<QByteArray, QRect> windowsOf(qint64 pid)
    {
        QByteArray ids;
        // A window going away during the search (the orb, a window fading out) ends xdotool with
        // an X error and a list cut short, and a window that is there would read as gone: ask again.
        for (int attempt = 0; attempt < 5 && !xdotool({"search", "--onlyvisible", "--pid", QString::number(pid)}, &ids); ++attempt)
            QTest::qWait(20);
        QHash<QByteArray, QRect> windows;
        for (const QByteArray &id : ids.split('\n')) {
            QByteArray shell;
            if (id.trimmed().isEmpty() || !xdotool({"getwindowgeometry", "--shell", QString::fromLatin1(id.trimmed())}, &shell))
                continue;
            QHash<QByteArray, int> g;
            for (const QByteArray &line : shell.split('\n'))
                if (const qsizetype eq = line.indexOf('='); eq > 0)
                    g.insert(line.left(eq), line.mid(eq + 1).toInt());
            windows.insert(id.trimmed(), QRect(g.value("X"), g.value("Y"), g.value("WIDTH"), g.value("HEIGHT")));
        }
        return windows;
    }
    bool hasWindow(qint64 pid, const QRect &rect) { return !windowsOf(pid).keys(rect).isEmpty(); }

    QByteArray focusedWindow()
    {
        QByteArray id;
        xdotool({"getwindowfocus"}, &id);
        return id.trimmed();
    }

    QImage grab() const { return m_display.screenshot(); }

    /// Clicks into the panel's text field and types @p text once the panel has the keyboard.
    bool typeQuestion(qint64 pid, const QString &text)
    {
        if (!xdotool({"mousemove", QString::number(inputField.x()), QString::number(inputField.y()), "click", "1"})
            || !waitFor([&] { return windowsOf(pid).keys(QRect(1280 - 436, 50, 436, 700)).contains(focusedWindow()); }, 15000))
            return false;
        QTest::qWait(200); // the field inside takes the focus with the same click
        return xdotool({"type", "--delay", "15", text}) && xdotool({"key", "Return"});
    }

    /// Spoken by flite's awb voice slowed a little: the phrasing and voice the recognizer hears
    /// best (measured with `kestrin-ai listen --wav`).
    QByteArray speech(const QString &text)
    {
        const QString raw = m_work.filePath(QStringLiteral("flite.wav"));
        const QString out = m_work.filePath(QStringLiteral("speech.wav"));
        if (QProcess::execute(QStringLiteral("flite"), {"-voice", "awb", "--setf", "duration_stretch=1.15", "-t", text, "-o", raw}) != 0
            || QProcess::execute(QStringLiteral("sox"), {"-R", raw, "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", out}) != 0)
            return {};
        const std::optional<WavFile> wav = WavFile::decode(readAll(out));
        return wav ? wav->samples() : QByteArray();
    }

    /// Says "hey tarvik @p command" and waits until the router has it; once more if the
    /// recognizer heard something else. @return what the listener heard, for messages.
    QString sayToTarvik(const QString &home, const QString &command, bool *routed)
    {
        const QByteArray pcm = speech(QStringLiteral("hey tarvik ") + command);
        const QString wanted = QStringLiteral("command tarvik: \"%1\"").arg(command);
        QStringList heard;
        *routed = false;
        for (int attempt = 0; attempt < 2 && !*routed && !pcm.isEmpty(); ++attempt) {
            const qsizetype mark = logOf(home).size();
            m_microphone->say(pcm);
            waitFor([&] { return m_microphone->idle() && logOf(home).mid(mark).contains(QStringLiteral("WakeWordListener heard: ")); }, 20000);
            waitFor([&] { return logOf(home).mid(mark).contains(wanted); }, 2000);
            const QString since = logOf(home).mid(mark);
            *routed = since.contains(wanted);
            for (const QString &line : since.split(u'\n'))
                if (line.contains(QStringLiteral("WakeWordListener heard: ")))
                    heard << line.section(QStringLiteral("heard: "), 1);
            if (!*routed)
                QTest::qWait(2500); // a pause before saying it again
        }
        return heard.join(QStringLiteral(", "));
    }

    int pulseCount(const QString &event, qsizetype from = 0) const { return int(m_pulse.mid(from).count(event)); }

    QList<TestEngine::Request> chatRequestsWithSystem(const QString &system) const
    {
        QList<TestEngine::Request> found;
        for (const TestEngine::Request &r : m_engine.requests("/api/chat"))
            if (turnsOf(r).value(0) == "system: " + system)
                found << r;
        return found;
    }

    /// The texts the voice server was asked to speak.
    QStringList spokenTexts(const QString &requestLog) const
    {
        QStringList texts;
        for (const QByteArray &line : readAll(requestLog).split('\n'))
            if (!line.trimmed().isEmpty())
                texts << QJsonDocument::fromJson(line).object().value("text").toString();
        return texts;
    }

    /// Ends the program as the desktop would (SIGTERM to the program itself, not to strace) and
    /// waits for @p process, which ran it.
    void quit(const QString &home, QProcess &process)
    {
        const qint64 pid = programPid(home);
        QVERIFY(pid > 0);
        QVERIFY(::kill(pid_t(pid), SIGTERM) == 0);
        QVERIFY2(waitFor([&] { return process.state() == QProcess::NotRunning; }, 20000), "the program did not end");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(logOf(home).contains(QStringLiteral("=== Kestrin AI quit ===")));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(SoundServer::isInstalled() && XvfbServer::isInstalled(), "pulseaudio, Xvfb and xcompmgr are needed (tools/packages.txt)");
        for (const char *tool : {"xdotool", "flite", "sox", "pactl", "strace"})
            QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(), tool);
        QVERIFY2(m_sound.start(), qPrintable(m_sound.error()));
        QVERIFY2(m_display.start({screenSize}, true), qPrintable(m_display.error()));
        QVERIFY(m_engine.listen());
        m_engine.setInstalledModels({ModelCatalog::text, ModelCatalog::vision});
        m_microphone = std::make_unique<Microphone>(m_sound.fifoPath());

        connect(&m_engine, &TestEngine::requestReceived, this, [this](const TestEngine::Request &request) {
            const QJsonObject body = request.json();
            QStringList pieces;
            if (request.path.startsWith("/api/generate")) {
                pieces = TestEngine::words(QStringLiteral("I see a blue desktop."));
            } else if (request.path.startsWith("/api/chat")) {
                const QJsonArray messages = body.value("messages").toArray();
                if (contentAt(messages, 0) == tarvikSystemPrompt)
                    pieces = TestEngine::words(m_tarvikReplies.value(m_tarvikTurns++, QStringLiteral("Anything else?")));
                else
                    pieces = m_orynReplies.value(contentAt(messages, messages.size() - 1), {QStringLiteral("Yes.")});
            }
            m_engine.setChatReply(pieces);
            m_engine.setStreamInterval(m_interval);
        });

        // What the sound server sees come and go: playback streams and recording streams.
        m_pulseEvents.setProcessEnvironment(m_display.environment());
        connect(&m_pulseEvents, &QProcess::readyReadStandardOutput, this, [this] {
            static const QRegularExpression event(QStringLiteral(R"(Event '(\w+)' on ([\w-]+) #)"));
            while (m_pulseEvents.canReadLine()) {
                const QRegularExpressionMatch m = event.match(QString::fromUtf8(m_pulseEvents.readLine()));
                if (m.hasMatch())
                    m_pulse << m.captured(1) + u' ' + m.captured(2);
            }
        });
        TestSupport::diesWithTheTest(m_pulseEvents);
        m_pulseEvents.start(QStringLiteral("pactl"), {QStringLiteral("subscribe")});
        QVERIFY(m_pulseEvents.waitForStarted(5000));

        m_backdrop.setProcessEnvironment(m_display.environment());
        TestSupport::diesWithTheTest(m_backdrop);
        m_backdrop.start(QStringLiteral(KESTRIN_HELPER), {QStringLiteral("backdrop")});
        QVERIFY(m_backdrop.waitForReadyRead(10000) && m_backdrop.readLine().startsWith("ready"));
    }

    void cleanupTestCase()
    {
        for (QProcess *p : {&m_backdrop, &m_pulseEvents}) {
            p->kill();
            p->waitForFinished(5000);
        }
        m_microphone.reset();
    }

    // Typed questions to both agents, spoken commands to Tarvik and a damaged defaults file, in
    // one run of the program under strace: the only network peer is the engine.
    void typedAndSpokenRequests()
    {
        // strace needs ptrace: as root in a container it may still be refused.
        QProcess probe;
        probe.start(QStringLiteral("strace"), {"-f", "-o", "/dev/null", "true"});
        QVERIFY2(probe.waitForFinished(10000) && probe.exitCode() == 0,
                 qPrintable("strace cannot trace here (ptrace refused?): " + probe.readAllStandardError()));

        QTemporaryDir homeDir(m_work.filePath(QStringLiteral("home-XXXXXX")));
        const QString home = homeDir.path();
        const QString requestLog = m_work.filePath(QStringLiteral("spoken.jsonl"));
        const QString launchLog = m_work.filePath(QStringLiteral("voice-launches.jsonl"));
        QJsonArray tones;
        for (int i = 0; i < 8; ++i)
            tones.append(QJsonObject{{"tone", 0.8}}); // long enough to see the playback stream
        QProcessEnvironment env = environment(
            home, fakeVoiceConfig(QStringLiteral("voice"), {{"requestLog", requestLog}, {"launchLog", launchLog}, {"replies", tones}}));
        // Every launch here runs under strace, and LeakSanitizer cannot work under ptrace.
        if (env.contains(QStringLiteral("ASAN_OPTIONS")))
            env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
        installVoice(home);
        // An earlier exchange, and a defaults file that does not parse.
        writeAll(conversationsPath(home), R"({"orynMessages":[{"role":"user","text":"Earlier question","date":700000010},)"
                                          R"({"role":"assistant","text":"Earlier answer","date":700000020}],"kestrinMessages":[],)"
                                          R"("orynHistory":[{"role":"user","content":"Earlier question"},)"
                                          R"({"role":"assistant","content":"Earlier answer"}]})");
        const QByteArray corruptDefaults = "{\"didSeeSetup\": true, \"oryn.tasks\": {\"data\": \"W10=\"";
        writeAll(defaultsPath(home), corruptDefaults);

        const QString trace = m_work.filePath(QStringLiteral("trace.txt"));
        const QStringList traced{"-f", "--seccomp-bpf", "-e", "trace=socket,connect,sendto,sendmsg", "-o"};
        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral("strace"), traced + QStringList{trace, QStringLiteral(KESTRIN_PROGRAM), QStringLiteral("--expand")});
        auto stop = qScopeGuard([&] {
            if (const qint64 pid = programPid(home); pid > 0 && program.state() != QProcess::NotRunning)
                ::kill(pid_t(pid), SIGKILL);
            program.waitForFinished(10000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home).contains(QStringLiteral("EdgePanel shown: screen=(0.0, 0.0, 1280.0, 800.0)")), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home).contains(QStringLiteral("Neural voice ready")), 115000);
        // Voice access: the sound server's microphone exists and the speech model is installed.
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home).contains(QStringLiteral("WakeWordListener session began")), 115000);
        QVERIFY(!logOf(home).contains(QStringLiteral("Wake words are off")));
        const qint64 pid = programPid(home);
        QVERIFY(pid > 0);
        // The damaged defaults are read as empty and left alone until something changes.
        QVERIFY(logOf(home).contains(QStringLiteral("UserDefaults: unreadable file")));
        QCOMPARE(readAll(defaultsPath(home)), corruptDefaults);
        // A window shown after the first look at the engine has appeared by now; the click
        // below takes the keyboard back from it.
        QTRY_VERIFY_WITH_TIMEOUT(!m_engine.requests("/api/tags").isEmpty(), 10000);
        QTest::qWait(1500);

        // Oryn: the typed question goes out with the saved history; the reply streams into the
        // panel piece by piece and is saved with it.
        const QString question = QStringLiteral("Tell me about kestrels");
        const QString reply = QStringLiteral("Kestrels are small falcons.\n\nThey hover in the wind while they hunt.\n\n"
                                             "They eat voles, mice and large insects.\n\nMany nest on buildings in towns.");
        m_orynReplies.insert(question, TestEngine::words(reply));
        m_interval = 250ms;
        QVERIFY(typeQuestion(pid, question));
        QTRY_VERIFY_WITH_TIMEOUT(!m_engine.requests("/api/chat").isEmpty(), 10000);
        const TestEngine::Request orynRequest = m_engine.requests("/api/chat").last();
        QCOMPARE(orynRequest.json().value("model").toString(), ModelCatalog::text);
        QCOMPARE(turnsOf(orynRequest), (QStringList{"system: " + AgentModel(AgentModel::oryn).systemPrompt(), "user: Earlier question",
                                                    "assistant: Earlier answer", "user: " + question}));
        QTest::qWait(1200); // a few of the pieces are out
        const int partway = brightPixels(grab(), panelRect);
        QTRY_VERIFY_WITH_TIMEOUT(saved(jsonFile(conversationsPath(home)), "orynMessages").contains(QStringLiteral("assistant: ") + reply), 115000);
        QTest::qWait(300);
        const int whole = brightPixels(grab(), panelRect);
        QVERIFY2(partway > 0 && whole > partway * 1.2, qPrintable(QStringLiteral("text on the panel: %1 then %2").arg(partway).arg(whole)));
        m_interval = 0ms;
        const QJsonObject conversation = jsonFile(conversationsPath(home));
        QCOMPARE(saved(conversation, "orynMessages"),
                 (QStringList{"user: Earlier question", "assistant: Earlier answer", "user: " + question, "assistant: " + reply}));
        QCOMPARE(saved(conversation, "orynHistory"), saved(conversation, "orynMessages"));

        // Kestrin, chosen by a second launch: the question carries a picture of the screen.
        QProcess again;
        again.setProcessEnvironment(env);
        again.start(QStringLiteral("strace"), traced + QStringList{trace + ".again", QStringLiteral(KESTRIN_PROGRAM), QStringLiteral("--kestrin")});
        QVERIFY(waitFor([&] { return again.state() == QProcess::NotRunning; }, 20000));
        QCOMPARE(again.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home).contains(QStringLiteral("Launched again with: --kestrin")), 10000);
        const QString look = QStringLiteral("What is on my screen?");
        QVERIFY(typeQuestion(pid, look));
        QTRY_VERIFY_WITH_TIMEOUT(m_engine.requests("/api/generate").size() > 0
                                     && m_engine.requests("/api/generate").last().json().contains("images"), 15000);
        const QJsonObject vision = m_engine.requests("/api/generate").last().json();
        QCOMPARE(vision.value("model").toString(), ModelCatalog::vision);
        QCOMPARE(vision.value("prompt").toString(), AgentModel(AgentModel::kestrin).systemPrompt() + "\n\nRequest: " + look);
        const QJsonArray images = vision.value("images").toArray();
        QCOMPARE(images.size(), 1);
        const QByteArray jpeg = QByteArray::fromBase64(images.first().toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY(jpeg.startsWith("\xFF\xD8\xFF"));
        const QImage picture = QImage::fromData(jpeg, "JPEG").convertToFormat(QImage::Format_RGB32);
        QCOMPARE(picture.size(), QSize(1280, 800)); // the screen, its longest edge already 1280
        // The program's own windows are left out: where the open panel is, the desktop shows.
        QVERIFY2(shareNear(picture, panelRect, backdropColour, 24) > 0.95,
                 qPrintable(QString::number(shareNear(picture, panelRect, backdropColour, 24))));
        QTRY_VERIFY_WITH_TIMEOUT(saved(jsonFile(conversationsPath(home)), "kestrinMessages")
                                     == (QStringList{"user: " + look, "assistant: I see a blue desktop."}),
                                 10000);

        // Spoken: a shell command, asked first and run only once confirmed; its output is spoken.
        QVERIFY(xdotool({"mousemove", "300", "300"}));
        QCOMPARE(pulseCount(QStringLiteral("new source-output")), 1); // only the wake-word listener records
        bool routed = false;
        QString heard = sayToTarvik(home, QStringLiteral("run date"), &routed);
        QVERIFY2(routed, qPrintable("heard: " + heard));
        const QRect questionWindow(510, 325, 260, 150); // centred on the screen
        QTRY_VERIFY_WITH_TIMEOUT(hasWindow(pid, questionWindow), 15000);
        QTest::qWait(500);
        QVERIFY(!logOf(home).contains(QStringLiteral("ShellRunner running")));
        QRect button;
        QTRY_VERIFY_WITH_TIMEOUT([&] {
            const QImage screen = grab();
            button = QRect();
            for (int y = questionWindow.top(); y <= questionWindow.bottom(); ++y)
                for (int x = questionWindow.left(); x <= questionWindow.right(); ++x)
                    if (near(screen.pixelColor(x, y), QColor(0x7A, 0xA2, 0xFF), 10))
                        button |= QRect(x, y, 1, 1);
            return button.width() > 60 && button.height() > 15;
        }(), 15000);
        const qsizetype playedBefore = m_pulse.size();
        QVERIFY(xdotool({"mousemove", QString::number(button.center().x()), QString::number(button.center().y()), "click", "1"}));
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home).contains(QStringLiteral("ShellRunner running: date")), 15000);
        static const QRegularExpression ran(QStringLiteral(R"(ShellRunner exit=0 stdout=(.*) stderr=)"));
        QTRY_VERIFY_WITH_TIMEOUT(ran.match(logOf(home)).hasMatch(), 10000);
        const QString output = ran.match(logOf(home)).captured(1);
        QVERIFY2(output.contains(QString::number(QDate::currentDate().year())), qPrintable(output));
        QTRY_VERIFY_WITH_TIMEOUT(spokenTexts(requestLog).contains(output), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(pulseCount(QStringLiteral("remove sink-input"), playedBefore) >= 1, 10000);
        QVERIFY(pulseCount(QStringLiteral("new sink-input"), playedBefore) >= 1); // the clip was played
        QTRY_VERIFY_WITH_TIMEOUT(!hasWindow(pid, questionWindow), 15000);

        // Spoken: a task, stored under "oryn.tasks" and shown; the damaged defaults are kept aside.
        heard = sayToTarvik(home, QStringLiteral("add milk to my tasks"), &routed);
        QVERIFY2(routed, qPrintable("heard: " + heard));
        QTRY_VERIFY_WITH_TIMEOUT(hasWindow(pid, QRect(1280 - 380, 400 - 220, 320, 440)), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(storedTasks(jsonFile(defaultsPath(home))).size() == 1, 15000);
        const QJsonObject task = storedTasks(jsonFile(defaultsPath(home))).first().toObject();
        QCOMPARE(task.value("text").toString(), QStringLiteral("Add milk to my tasks")); // stored whole: no "add a task" prefix
        QCOMPARE(task.value("done"), QJsonValue(false));
        QVERIFY(!QUuid::fromString(task.value("id").toString()).isNull());
        QCOMPARE(readAll(defaultsPath(home) + ".corrupt"), corruptDefaults);

        // Spoken: a question for Tarvik goes to the engine with Tarvik's prompt, the answer is
        // spoken by the neural voice, and then the program listens for a follow-up.
        const qsizetype beforeTurn = m_pulse.size();
        heard = sayToTarvik(home, QStringLiteral("what time is it"), &routed);
        QVERIFY2(routed, qPrintable("heard: " + heard));
        QTRY_VERIFY_WITH_TIMEOUT(chatRequestsWithSystem(tarvikSystemPrompt).size() == 1, 15000);
        QCOMPARE(turnsOf(chatRequestsWithSystem(tarvikSystemPrompt).first()),
                 (QStringList{"system: " + tarvikSystemPrompt, "user: what time is it"}));
        QTRY_VERIFY_WITH_TIMEOUT(spokenTexts(requestLog).contains(m_tarvikReplies[0]), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(pulseCount(QStringLiteral("remove sink-input"), beforeTurn) >= 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(pulseCount(QStringLiteral("new source-output"), beforeTurn) == 1, 15000); // the follow-up
        const qsizetype clipEnd = m_pulse.lastIndexOf(QStringLiteral("remove sink-input"));
        QVERIFY(m_pulse.indexOf(QStringLiteral("new source-output"), beforeTurn) > clipEnd); // after the answer, not during it
        QTest::qWait(300);
        m_microphone->say(speech(QStringLiteral("what about tomorrow"))); // no wake phrase
        QTRY_VERIFY_WITH_TIMEOUT(chatRequestsWithSystem(tarvikSystemPrompt).size() == 2, 20000);
        const QStringList followUp = turnsOf(chatRequestsWithSystem(tarvikSystemPrompt).last());
        QCOMPARE(followUp.mid(1, 2), (QStringList{"user: what time is it", "assistant: " + m_tarvikReplies[0]}));
        const QString heardAfter = followUp.value(3).mid(6); // after "user: "
        QVERIFY2(followUp.size() == 4 && followUp[3].startsWith("user: ") && !heardAfter.trimmed().isEmpty(),
                 qPrintable(followUp.join(" | ")));
        QVERIFY(logOf(home).contains(QStringLiteral("tarvik: \"%1\"").arg(heardAfter)));
        QTRY_VERIFY_WITH_TIMEOUT(spokenTexts(requestLog).contains(m_tarvikReplies[1]), 10000);
        // Spoken turns are never saved with the chat.
        QVERIFY(!readAll(conversationsPath(home)).contains("twelve"));
        QCOMPARE(readAll(launchLog).count('\n'), 1); // one voice server all along

        quit(home, program);
        stop.dismiss();

        // Every connection went to the engine or stayed on this machine's local sockets.
        for (const QString &file : {trace, trace + ".again"}) {
            const NetworkUse use = networkUse(readAll(file), m_engine.port());
            QVERIFY2(use.forbidden.isEmpty(), qPrintable(file + ":\n" + use.forbidden.mid(0, 10).join(u'\n')));
            QVERIFY2(use.localConnections > 0, qPrintable(file)); // the X server at least: strace saw the calls
            if (file == trace)
                QVERIFY(use.engineConnections >= 3);
        }
    }

    // Faults: a reply cut off mid-stream, a voice server that crashes in a loop, and a
    // conversation file that does not parse. The program goes on and keeps what was saved.
    void faults()
    {
        QTemporaryDir homeDir(m_work.filePath(QStringLiteral("home-XXXXXX")));
        const QString home = homeDir.path();
        const QString launchLog = m_work.filePath(QStringLiteral("crashing-launches.jsonl"));
        const QProcessEnvironment env = environment(
            home, fakeVoiceConfig(QStringLiteral("crashing"), {{"launchLog", launchLog}, {"garbageBytes", 65536}}));
        const QString lifetimes = m_work.filePath(QStringLiteral("crashing"));
        QVERIFY(QDir().mkpath(lifetimes));
        installVoice(home, lifetimes);
        const QByteArray corruptConversation = "{\"orynMessages\":[{\"role\":\"user\",\"text\":\"Lost";
        writeAll(conversationsPath(home), corruptConversation);
        const QJsonArray tasks{QJsonObject{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()}, {"text", "Water the plants"}, {"done", false}}};
        writeAll(defaultsPath(home), QJsonDocument(QJsonObject{{"didSeeSetup", true},
                                                               {"settings.kokoroVoice", "af_bella"},
                                                               {"oryn.tasks", QJsonObject{{"data", QString::fromLatin1(QJsonDocument(tasks).toJson(QJsonDocument::Compact).toBase64())}}}})
                                         .toJson());

        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(KESTRIN_PROGRAM), {QStringLiteral("--expand")});
        auto stop = qScopeGuard([&] {
            program.kill();
            program.waitForFinished(10000);
        });
        QVERIFY(program.waitForStarted(10000));
        const qint64 pid = program.processId();
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home).contains(QStringLiteral("EdgePanel shown: ")), 30000);
        QCOMPARE(readAll(conversationsPath(home)), corruptConversation); // read as empty, not yet replaced
        QTest::qWait(1000);

        // A first exchange, saved over the unreadable file.
        m_orynReplies.insert(QStringLiteral("First question"), {QStringLiteral("First "), QStringLiteral("answer.")});
        QVERIFY(typeQuestion(pid, QStringLiteral("First question")));
        const QStringList first{"user: First question", "assistant: First answer."};
        QTRY_VERIFY_WITH_TIMEOUT(saved(jsonFile(conversationsPath(home)), "orynMessages") == first, 10000);

        // The engine's connection dies mid-reply: the error is shown, the program goes on.
        const QString model = ModelCatalog::text;
        m_engine.scriptOnce("/api/chat", Reply{.writes = TestEngine::chatLines(model, {QStringLiteral("Partial"), QStringLiteral(" answer")}, false),
                                               .interval = 100ms,
                                               .end = Reply::End::CloseMidBody});
        const qsizetype chats = m_engine.requests("/api/chat").size();
        QVERIFY(typeQuestion(pid, QStringLiteral("Second question")));
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home).contains(QStringLiteral("stream error: ")), 10000);
        QCOMPARE(m_engine.requests("/api/chat").size(), chats + 1);
        QCOMPARE(program.state(), QProcess::Running);

        // The next question is answered, with the history the first exchange left.
        m_orynReplies.insert(QStringLiteral("Third question"), {QStringLiteral("Third "), QStringLiteral("answer.")});
        QVERIFY(typeQuestion(pid, QStringLiteral("Third question")));
        QTRY_VERIFY_WITH_TIMEOUT(saved(jsonFile(conversationsPath(home)), "orynMessages").contains(QStringLiteral("assistant: Third answer.")), 10000);
        QCOMPARE(turnsOf(m_engine.requests("/api/chat").last()).mid(1), first + QStringList{"user: Third question"});
        const QJsonObject conversation = jsonFile(conversationsPath(home));
        const QStringList messages = saved(conversation, "orynMessages");
        QCOMPARE(messages.size(), 6);
        QCOMPARE(messages.mid(0, 3), first + QStringList{"user: Second question"});
        QVERIFY2(messages[3].startsWith(QStringLiteral("assistant: Partial answer\n\n")), qPrintable(messages[3]));
        QCOMPARE(messages.mid(4), (QStringList{"user: Third question", "assistant: Third answer."}));
        QCOMPARE(saved(conversation, "orynHistory"), (first + QStringList{"user: Third question", "assistant: Third answer."}));

        // The voice server died at every start: restarted 2, 4 and 6 s after each death, then
        // left for the system voice.
        const QString died = QStringLiteral("Neural voice exited unexpectedly");
        QTRY_VERIFY_WITH_TIMEOUT(times(lifetimes + "/ended").size() == 4 && logged(home, died).size() == 4, 30000);
        QElapsedTimer sinceLast;
        sinceLast.start();
        const QList<double> began = times(lifetimes + "/started");
        const QList<double> ended = times(lifetimes + "/ended");
        QCOMPARE(began.size(), 4);
        QCOMPARE(readAll(launchLog).count('\n'), 4); // the test server each time
        for (int i = 1; i < 4; ++i) {
            const double wait = began[i] - ended[i - 1];
            QVERIFY2(wait >= 2.0 * i - 0.05 && wait <= 2.0 * i + 1.5, qPrintable(QStringLiteral("start %1, %2 s after a death").arg(i + 1).arg(wait)));
        }
        // The program's log says when, to the second.
        const QList<QDateTime> starting = logged(home, QStringLiteral("Neural voice starting"));
        const QList<QDateTime> exits = logged(home, died);
        QCOMPARE(starting.size(), 4);
        for (int i = 0; i < 4; ++i) {
            QVERIFY2(std::abs(starting[i].toSecsSinceEpoch() - qint64(began[i])) <= 1, qPrintable(starting[i].toString(Qt::ISODate)));
            QVERIFY2(std::abs(exits[i].toSecsSinceEpoch() - qint64(ended[i])) <= 1, qPrintable(exits[i].toString(Qt::ISODate)));
        }
        // A fifth start would come 8 s after the fourth death.
        QTest::qWait(int(std::max<qint64>(0, 9000 - sinceLast.elapsed())));
        QCOMPARE(times(lifetimes + "/started").size(), 4);
        QCOMPARE(logged(home, QStringLiteral("Neural voice starting")).size(), 4);
        QCOMPARE(program.state(), QProcess::Running);

        // Nothing saved elsewhere was touched.
        const QJsonObject defaults = jsonFile(defaultsPath(home));
        QCOMPARE(storedTasks(defaults), tasks);
        QCOMPARE(defaults.value("settings.kokoroVoice").toString(), QStringLiteral("af_bella"));
        QCOMPARE(defaults.value("didSeeSetup"), QJsonValue(true));

        stop.dismiss();
        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(waitFor([&] { return program.state() == QProcess::NotRunning; }, 20000));
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(logOf(home).contains(QStringLiteral("=== Kestrin AI quit ===")));
        QCOMPARE(saved(jsonFile(conversationsPath(home)), "orynMessages"), messages);
    }
};

int main(int argc, char *argv[])
{
    TestSupport::isolateHome();
    QGuiApplication app(argc, argv);
    WholeProgramTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wholeprogram.moc"

// Speech output against a fake neural voice server (fake_voice_server.py), real WAV files and a
// private PulseAudio server with a null sink.

#include "AppPaths.h"
#include "ClipPlayer.h"
#include "DebugLog.h"
#include "NeuralVoiceServer.h"
#include "SettingsStore.h"
#include "SoundServer.h"
#include "SpeechOutput.h"
#include "SpeechSynthesizer.h"
#include "SystemVoice.h"
#include "TestSupport.h"
#include "VoiceLocator.h"
#include "WavFile.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>

#include <csignal>
#include <ctime>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

/// Records its calls; loading is logged so its place among the server's lines shows.
struct RecordingVoice : SpeechSynthesizer {
    QStringList calls;
    void prepare() override { calls << "prepare", DebugLog::log("test: system voice prepared"); }
    void say(const QString &text) override { calls << "say:" + text; }
    void stop() override { calls << "stop"; }
};

QList<QJsonObject> jsonLines(const QString &path)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : readAll(path).split('\n'))
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    return objects;
}

qint64 bootMs() // the clock of /proc start times
{
    timespec t{};
    clock_gettime(CLOCK_BOOTTIME, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

bool processExists(qint64 pid) { return QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)); }

template <typename... T> QByteArray le(T... values)
{
    QByteArray out;
    QDataStream stream(&out, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    (stream << ... << values);
    return out;
}

/// Samples as they lie in memory, to compare with decoded ones.
template <typename T> QByteArray inMemory(std::initializer_list<T> values)
{
    return QByteArray(reinterpret_cast<const char *>(values.begin()), qsizetype(values.size() * sizeof(T)));
}

QByteArray riff(const QByteArray &format, const QByteArray &data, const QByteArray &extra = {}, quint32 dataSize = 0)
{
    const QByteArray body = "WAVEfmt " + le(quint32(format.size())) + format + extra + "data"
        + le(dataSize ? dataSize : quint32(data.size())) + data;
    return "RIFF" + le(quint32(body.size())) + body;
}

QByteArray fmt(quint16 tag, quint16 channels, quint32 rate, quint16 bits, quint16 align = 0)
{
    align = align ? align : quint16(channels * bits / 8);
    return le(tag, channels, rate, rate * align, align, bits);
}

QByteArray extensible(quint16 subFormat, quint16 channels, quint32 rate, quint16 bits)
{
    return fmt(0xFFFE, channels, rate, bits) + le(quint16(22), bits, quint32(0), subFormat) + QByteArray(14, 0);
}

} // namespace

class SpeechOutputTest : public QObject
{
    Q_OBJECT

    SoundServer m_sound;
    QTemporaryDir m_work;
    qint64 m_logMark = 0;
    RecordingVoice *m_voice = nullptr; // owned by m_output
    std::unique_ptr<SpeechOutput> m_output;

    QString work(const char *name) const { return m_work.filePath(QLatin1String(name)); }
    QString modelsDir() const { return AppPaths::voiceDir() + "/models"; }
    QString interpreter() const { return AppPaths::voiceDir() + "/venv/bin/python3"; }
    QList<QJsonObject> launches() const { return jsonLines(work("launches.jsonl")); }
    QList<QJsonObject> requests() const { return jsonLines(work("requests.jsonl")); }
    pid_t lastPid() const { return pid_t(launches().last().value("pid").toInteger()); }

    void writeConfig(QJsonObject config)
    {
        QFile::remove(work("launches.count"));
        config.insert("launchLog", work("launches.jsonl"));
        config.insert("requestLog", work("requests.jsonl"));
        config.insert("counterFile", work("launches.count"));
        writeAll(work("fake.json"), QJsonDocument(config).toJson());
    }

    void installVoice(const QByteArray &interpreterText = {})
    {
        writeAll(modelsDir() + "/kokoro-v1.0.onnx", "model");
        writeAll(modelsDir() + "/voices-v1.0.bin", "voices");
        const QByteArray wrapper = "#!/bin/sh\nexec python3 '" KESTRIN_FAKE_VOICE_SERVER "' \"$@\"\n";
        writeAll(interpreter(), interpreterText.isNull() ? wrapper : interpreterText);
        QFile::setPermissions(interpreter(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void makeOutput(std::chrono::milliseconds restartUnit = 100ms)
    {
        m_voice = new RecordingVoice;
        m_output = std::make_unique<SpeechOutput>(m_voice, restartUnit);
    }

    bool startReady(const QJsonObject &config = {})
    {
        writeConfig(config);
        makeOutput();
        return QTest::qWaitFor([this] { return m_output->isNeuralVoiceReady(); }, 10000);
    }

    QStringList logged() const
    {
        QStringList messages;
        for (const QByteArray &line : readAll(AppPaths::log()).mid(m_logMark).split('\n'))
            if (const qsizetype end = line.indexOf("] "); end > 0)
                messages << QString::fromUtf8(line.mid(end + 2));
        return messages;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable("python3").isEmpty() && SoundServer::isInstalled(), "needs python3, pulseaudio");
        // The sound server first: Qt Multimedia connects to one once per process.
        QVERIFY2(m_sound.start(), qPrintable(m_sound.error()));
        qputenv("KESTRIN_FAKE_VOICE", QFile::encodeName(work("fake.json")));
    }

    void init()
    {
        m_logMark = QFileInfo(AppPaths::log()).size();
        QFile::remove(work("launches.jsonl"));
        QFile::remove(work("requests.jsonl"));
        QDir(AppPaths::voiceDir()).removeRecursively();
        installVoice();
        writeConfig({});
        SettingsStore::shared()->setKokoroVoice(QLatin1String(SettingsStore::defaultKokoroVoice));
    }

    void cleanup() { m_output.reset(), m_voice = nullptr; }

    void wavDecoding_data()
    {
        QTest::addColumn<QByteArray>("bytes"), QTest::addColumn<int>("sampleFormat"); // -1: refused with the error
        QTest::addColumn<int>("channels"), QTest::addColumn<qint64>("frames"), QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("samples"); // the first decoded ones, when checked
        const int i16 = QAudioFormat::Int16, f32 = QAudioFormat::Float;
        QByteArray noData = riff(fmt(1, 1, 24000, 16), {});
        noData.chop(8);
        QTest::newRow("8-bit stereo") << riff(fmt(1, 2, 8000, 8), QByteArray(10, 'x')) << int(QAudioFormat::UInt8) << 2 << 5LL << "" << QByteArray();
        // Full scale stays full scale; 64-bit floats keep their value.
        QTest::newRow("24-bit widened") << riff(fmt(1, 1, 8000, 24), QByteArray("\xff\xff\x7f\x00\x00\x80", 6)) << int(QAudioFormat::Int32)
                                        << 1 << 2LL << "" << inMemory<qint32>({0x7fffff00, qint32(0x80000000)});
        QTest::newRow("64-bit float narrowed") << riff(fmt(3, 1, 8000, 64), le(-0.5)) << f32 << 1 << 1LL << "" << inMemory({-0.5f});
        QTest::newRow("32-bit float") << riff(fmt(3, 1, 24000, 32), QByteArray(16, 0)) << f32 << 1 << 4LL << "" << QByteArray();
        QTest::newRow("extensible PCM") << riff(extensible(1, 2, 44100, 16), QByteArray(8, 0)) << i16 << 2 << 2LL << "" << QByteArray();
        QTest::newRow("odd chunk before data is padded")
            << riff(fmt(1, 1, 24000, 16), QByteArray(4, 0), QByteArray("LIST\x03\0\0\0abc\0", 12)) << i16 << 1 << 2LL << "" << QByteArray();
        QTest::newRow("data size beyond the file") << riff(fmt(1, 1, 24000, 16), QByteArray(6, 0), {}, ~0u) << i16 << 1 << 3LL << "" << QByteArray();
        QTest::newRow("partial last frame dropped") << riff(fmt(1, 2, 24000, 16), QByteArray(10, 0)) << i16 << 2 << 2LL << "" << QByteArray();
        QTest::newRow("not RIFF") << QByteArray("this is not a RIFF file at all") << -1 << 0 << 0LL << "not a RIFF WAVE file" << QByteArray();
        QTest::newRow("no format chunk") << QByteArray("RIFF\x04\0\0\0WAVE", 12) << -1 << 0 << 0LL << "no format chunk" << QByteArray();
        QTest::newRow("ADPCM") << riff(fmt(2, 1, 24000, 4, 256), QByteArray(256, 0)) << -1 << 0 << 0LL
                               << "unsupported encoding (format 2, 4 bits)" << QByteArray();
        QTest::newRow("no channels") << riff(fmt(1, 0, 24000, 16, 2), QByteArray(8, 1)) << -1 << 0 << 0LL << "unsupported channel count 0" << QByteArray();
        QTest::newRow("no samples") << riff(fmt(1, 1, 24000, 16), QByteArray(1, 0)) << -1 << 0 << 0LL << "no audio samples" << QByteArray();
        QTest::newRow("no data chunk") << noData << -1 << 0 << 0LL << "no data chunk" << QByteArray();
    }
    void wavDecoding()
    {
        QFETCH(QByteArray, bytes); QFETCH(int, sampleFormat); QFETCH(int, channels); QFETCH(qint64, frames); QFETCH(QString, error);
        QFETCH(QByteArray, samples);
        QString reason;
        const std::optional<WavFile> wav = WavFile::decode(bytes, &reason);
        QCOMPARE(reason, error);
        QCOMPARE(wav.has_value(), sampleFormat >= 0);
        if (wav) {
            QCOMPARE(int(wav->format().sampleFormat()), sampleFormat);
            QCOMPARE(wav->format().channelCount(), channels);
            QCOMPARE(wav->frameCount(), frames);
        }
        if (!samples.isEmpty()) {
            QCOMPARE(wav->samples().left(samples.size()), samples);
            QCOMPARE(wav->duration().count(), frames * 1'000'000 / wav->format().sampleRate());
        }
    }

    void locatorCandidates()
    {
        const VoiceAssets first{interpreter(), modelsDir()};
        QCOMPARE(VoiceLocator::find(), std::optional(first));
        // The desktop candidate, when the voice folder's is incomplete.
        const QTemporaryDir home;
        const QByteArray realHome = qgetenv("HOME");
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", realHome); });
        qputenv("HOME", QFile::encodeName(home.path()));
        const QString oryn = home.filePath("Desktop/OrynSidebar");
        writeAll(oryn + "/tts/bin/python3", "#!/bin/sh\n");
        QFile::setPermissions(oryn + "/tts/bin/python3", QFile::ReadOwner | QFile::ExeOwner);
        writeAll(oryn + "/kokoro_models/kokoro-v1.0.onnx", "m");
        writeAll(oryn + "/kokoro_models/voices-v1.0.bin", "v");
        const VoiceAssets second{oryn + "/tts/bin/python3", oryn + "/kokoro_models"};

        QCOMPARE(VoiceLocator::find(), std::optional(first)); // the voice folder comes first
        QFile::remove(modelsDir() + "/voices-v1.0.bin");
        QCOMPARE(VoiceLocator::find(), std::optional(second));
        installVoice();
        QFile::setPermissions(interpreter(), QFile::ReadOwner | QFile::WriteOwner); // not executable
        QCOMPARE(VoiceLocator::find(), std::optional(second));
        QFile::remove(oryn + "/kokoro_models/kokoro-v1.0.onnx");
        QVERIFY(!VoiceLocator::find());
        const QString script = VoiceLocator::serverScript();
        QVERIFY(script.endsWith("/resources/kokoro_server.py") && QFileInfo(script).isFile());
    }

    void serverAnswers_data()
    {
        QTest::addColumn<QJsonObject>("config"), QTest::addColumn<QStringList>("voice"); // system voice calls
        QTest::addColumn<QStringList>("log"), QTest::addColumn<bool>("plays"); // log: after starting and ready
        const auto answer = [](const QJsonValue &lines, QJsonObject more = {}) {
            more.insert("lines", lines);
            return QJsonObject{{"replies", QJsonArray{more}}};
        };
        const QStringList said{"say:One\nnow, a 1 * b _ *c*"};
        QTest::newRow("failure") << answer(R"({"status":"error","message":"voice am_nobody not found"})" "\n") << said
                                 << QStringList{"Neural voice error: voice am_nobody not found"} << false;
        QTest::newRow("failure message not text") << answer(R"({"status":"error","message":42})" "\n") << said
                                                  << QStringList{"Neural voice error: unknown error"} << false;
        QTest::newRow("not a WAV file") << QJsonObject{{"replies", QJsonArray{QJsonObject{{"bytes", "not a RIFF file"}}}}}
                                        << QStringList() << QStringList{"Neural voice: playback failed: not a RIFF WAVE file"} << false;
        QTest::newRow("no file written") << QJsonObject{{"replies", QJsonArray{QJsonObject()}}} << QStringList()
                                         << QStringList{"Neural voice: output missing"} << false;
        QTest::newRow("not the file asked for") << answer(R"({"status":"ok","out":"/tmp/kestrin-elsewhere.wav"})" "\n") << said
                                                << QStringList{"Neural voice error: unexpected output file"} << false;
        // An answer when none is due is dropped.
        QTest::newRow("failure, then an answer nobody asked for")
            << answer(R"({"status":"error","message":"first"})" "\n" R"({"status":"ok","out":"/nonexistent.wav"})" "\n") << said
            << QStringList{"Neural voice error: first"} << false;
        // Lines that are no answer are skipped, several lines in one read all taken.
        QTest::newRow("stray lines, then the clip in one write")
            << answer("not json\n[1,2]\n{}\n{\"status\":5}\n{\"status\":\"ok\"}\n{\"status\":\"ok\",\"out\":\"$OUT\"}\n", {{"tone", 1.0}})
            << QStringList() << QStringList{"Speaking a clip of 1.0 s", "Clip played"} << true;
        // A line's first part waits inside the object for its end.
        QTest::newRow("lines split across writes")
            << QJsonObject{{"readySplitAt", 7}, {"replies", QJsonArray{QJsonObject{{"lines", QJsonArray{"{\"status\":\"err", "or\"}\n"}}}}}}
            << said << QStringList{"Neural voice error: unknown error"} << false;
        // Before "ready": stray lines and answers nobody asked for; a megabyte on standard error,
        // more than a pipe holds, must go nowhere.
        QTest::newRow("lines before ready")
            << QJsonObject{{"preamble", "not json\n{\"status\":\"ok\",\"out\":\"/nonexistent.wav\"}\n"
                                        "{\"status\":\"error\",\"message\":\"nobody asked\"}\n"},
                           {"stderrBytes", 1 << 20}, {"replies", QJsonArray{QJsonObject{{"tone", 1.0}}}}}
            << QStringList() << QStringList{"Speaking a clip of 1.0 s", "Clip played"} << true;
    }
    void serverAnswers()
    {
        QFETCH(QJsonObject, config); QFETCH(QStringList, voice); QFETCH(QStringList, log); QFETCH(bool, plays);
        QVERIFY(startReady(config));
        QSignalSpy speaking(m_output.get(), &SpeechOutput::isSpeakingChanged);
        for (const char *blank : {"###", "  \n ", "** ` __"})
            m_output->speak(blank); // nothing to say: no request
        m_output->speak(" ## **One**\n`now`, __a__ #1 * b _ ***c*** #\n"); // cleaned for either voice
        log.prepend("Neural voice ready");
        log.prepend("Neural voice starting");
        if (plays)
            QTRY_VERIFY2(m_output->isSpeaking(), qPrintable(logged().join(" | ")));
        QTRY_COMPARE(logged(), log);
        QCOMPARE(m_voice->calls, voice);
        QCOMPARE(speaking.size(), plays ? 2 : 0); // the clip has been played to its end: on, then off
        QTRY_COMPARE(requests().size(), 1);
        QCOMPARE(requests().at(0).value("text").toString(), "One\nnow, a 1 * b _ *c*");
        QCOMPARE(requests().at(0).value("voice").toString(), SettingsStore::defaultKokoroVoice);
        QVERIFY(!QFile::exists(NeuralVoiceServer::outputPath(1))); // played or not, the clip goes
        const QJsonObject launch = launches().value(0);
        QCOMPARE(launch.value("argv").toVariant().toStringList(), (QStringList{VoiceLocator::serverScript(), "--models", modelsDir()}));
        QCOMPARE(launch.value("cwd").toString(), AppPaths::support());
    }

    void onlyTheLatestRequestIsPlayed()
    {
        // The first answer is slow and long, the second quick and short: only the second is
        // played, and the first's clip goes unplayed.
        const auto tone = [](double seconds, double delay = 0) { return QJsonObject{{"tone", seconds}, {"delay", delay}}; };
        QVERIFY(startReady({{"replies", QJsonArray{tone(3.0, 0.3), tone(0.3), tone(0.3), tone(2.0)}}}));
        QSignalSpy speaking(m_output.get(), &SpeechOutput::isSpeakingChanged);
        SettingsStore::shared()->setKokoroVoice("am_echo");
        m_output->speak("First");
        SettingsStore::shared()->setKokoroVoice("am_puck"); // read per request
        m_output->speak("Second");
        QVERIFY(!m_output->isSpeaking()); // nothing until a clip arrives
        QVERIFY(speaking.wait(5000));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(speaking.wait(5000));
        QVERIFY(!m_output->isSpeaking());
        QVERIFY2(clock.elapsed() < 2900, qPrintable(QString::number(clock.elapsed()))); // the short clip, not the 3 s one

        const QList<QJsonObject> sent = requests();
        const QString folder = NeuralVoiceServer::outputFolder();
        QCOMPARE(modeOf(folder), 0700);
        QVERIFY(!folder.startsWith("/tmp/kestrin_speech"));
        QCOMPARE(sent.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const QString clip = folder + QStringLiteral("kestrin_speech_%1.wav").arg(i + 1);
            QCOMPARE(sent.at(i).value("out").toString(), clip);
            QVERIFY(!QFile::exists(clip));
            QCOMPARE(sent.at(i).value("voice").toString(), i ? "am_puck" : "am_echo");
        }
        QCOMPARE(sent.at(1).value("text").toString(), "Second");

        // Stopped before its clip came, a reply is never played; its clip goes.
        m_output->speak("Third");
        m_output->stopSpeaking();
        QTRY_COMPARE(requests().size(), 3); // logged once answered: the clip was there
        QTRY_VERIFY(!QFile::exists(NeuralVoiceServer::outputPath(3)));
        QCOMPARE(speaking.size(), 2);
        // A playing clip stops at once.
        m_output->speak("Fourth");
        QTRY_VERIFY(m_output->isSpeaking());
        m_output->stopSpeaking();
        QVERIFY(!m_output->isSpeaking());
        QCOMPARE(m_voice->calls, (QStringList{"stop", "stop"}));
        QCOMPARE(logged().filter("Neural voice:"), QStringList());
    }

    void fallsBackToTheSystemVoice_data()
    {
        QTest::addColumn<QString>("broken"), QTest::addColumn<int>("starts");
        QTest::addColumn<QStringList>("log"); // a line ending in ": " is followed by a reason
        const QString prepared = "test: system voice prepared"; // before its first use
        const QString starting = "Neural voice starting";
        const QString exited = "Neural voice exited unexpectedly";
        QTest::newRow("not installed") << "not installed" << 0 << QStringList{"Neural voice not installed, using the system voice", prepared};
        QTest::newRow("launch fails, not retried") << "launch fails" << 0 << QStringList{"Failed to start neural voice: ", prepared};
        QTest::newRow("four exits before ready, 2, 4 and 6 s apart")
            << "exits" << 4 << QStringList{starting, exited, starting, exited, starting, exited, starting, exited, prepared};
        QTest::newRow("garbage, then killed, four times")
            << "garbage" << 4 << QStringList{starting, exited, starting, exited, starting, exited, starting, exited, prepared};
    }
    void fallsBackToTheSystemVoice()
    {
        QFETCH(QString, broken); QFETCH(QStringList, log); QFETCH(int, starts);
        if (broken == "not installed")
            QDir(AppPaths::voiceDir()).removeRecursively();
        else if (broken == "launch fails")
            installVoice("#!/nonexistent/interpreter\n");
        writeConfig(broken == "garbage" ? QJsonObject{{"garbageBytes", 1 << 20}} : QJsonObject{{"exitBeforeReady", 100}});
        // Real time for the exits: the delays are what is tested.
        const int unit = broken == "exits" ? 2000 : 10;
        makeOutput(std::chrono::milliseconds(unit));
        QList<qint64> goneAt; // when this test saw each server exit, within 10 ms
        for (int k = 0; k < starts; ++k) {
            QVERIFY(QTest::qWaitFor([&] {
                const QList<QJsonObject> all = launches();
                return all.size() > k && !processExists(all.at(k).value("pid").toInteger());
            }, 10000));
            goneAt << bootMs();
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_voice->calls, QStringList{"prepare"}, 10000);
        QTest::qWait(100); // ten restart units of the quick rows: no start may come
        const QStringList lines = logged();
        QCOMPARE(lines.size(), log.size());
        for (qsizetype i = 0; i < log.size(); ++i)
            QVERIFY2(log[i].endsWith(": ") ? lines[i].startsWith(log[i]) && lines[i].size() > log[i].size() : lines[i] == log[i],
                     qPrintable(lines[i]));
        const QList<QJsonObject> launched = launches();
        QCOMPARE(launched.size(), starts);
        for (int k = 1; k < starts; ++k) { // restart k comes k units after the exit
            const qint64 gap = qint64(launched.at(k).value("started").toDouble() * 1000) - goneAt.at(k - 1);
            QVERIFY2(gap >= unit * k - 50 && gap < unit * k + 500, qPrintable(QStringLiteral("restart %1 after %2 ms").arg(k).arg(gap)));
        }
        m_output->speak("`Fallback`");
        QCOMPARE(m_voice->calls, (QStringList{"prepare", "say:Fallback"}));
        for (const QJsonObject &launch : launched) // gone and reaped
            QVERIFY(!processExists(launch.value("pid").toInteger()));
    }

    void readyResetsTheRestartCount()
    {
        // Three exits before "ready" are allowed: ready at the fourth launch.
        QVERIFY(startReady({{"exitBeforeReady", 3}, {"replies", QJsonArray{QJsonObject{{"exit", true}}}}}));
        QCOMPARE(launches().size(), 4);

        // The server dies with a request pending: it is dropped, the system voice speaks while
        // the server restarts, and after a "ready" three exits are allowed again.
        writeConfig({{"exitBeforeReady", 2}});
        m_output->speak("Never said");
        QTRY_COMPARE(logged().count("Neural voice exited unexpectedly"), 4);
        QVERIFY(!m_output->isNeuralVoiceReady());
        m_output->speak("While restarting");
        QTRY_VERIFY_WITH_TIMEOUT(m_output->isNeuralVoiceReady(), 10000);
        QCOMPARE(launches().size(), 7);
        QCOMPARE(m_voice->calls, QStringList{"say:While restarting"});

        // And the fourth exit in a row is the last.
        writeConfig({{"exitBeforeReady", 100}});
        ::kill(lastPid(), SIGKILL);
        QTRY_COMPARE_WITH_TIMEOUT(m_voice->calls, (QStringList{"say:While restarting", "prepare"}), 10000);
        QCOMPARE(launches().size(), 10); // the killed one and three restarts
        QTest::qWait(600); // six restart units: no fifth start
        QCOMPARE(launches().size(), 10);
    }

    void clipEndsThenTheServer_data()
    {
        QTest::addColumn<double>("seconds"), QTest::addColumn<bool>("suspended"); // the sink never plays it
        QTest::addColumn<bool>("destroy"); // else shutdown()
        QTest::newRow("played, then shut down") << 1.0 << false << false;
        QTest::newRow("never reported: its length and a margin; then destroyed") << 0.3 << true << true;
    }
    void clipEndsThenTheServer()
    {
        QFETCH(double, seconds); QFETCH(bool, suspended); QFETCH(bool, destroy);
        const QStringList suspend{"suspend-sink", SoundServer::sinkName};
        if (suspended)
            QVERIFY(m_sound.pactl(suspend + QStringList{"1"}));
        const auto resume = qScopeGuard([&] { m_sound.pactl(suspend + QStringList{"0"}); });
        // A stubborn server: it ignores SIGTERM and its input's end, and never answers the second request.
        QVERIFY(startReady({{"ignoreTerm", true}, {"ignoreEof", true},
                            {"replies", QJsonArray{QJsonObject{{"tone", seconds}}, QJsonObject{{"lines", ""}}}}}));
        QElapsedTimer clock;
        qint64 began = -1, ended = -1;
        QObject context;
        connect(m_output.get(), &SpeechOutput::isSpeakingChanged, &context,
                [&] { (m_output->isSpeaking() ? began : ended) = clock.elapsed(); });
        clock.start();
        m_output->speak("A reply");
        QTRY_VERIFY_WITH_TIMEOUT(ended >= 0 && began >= 0, 10000);
        const qint64 margin = ClipPlayer::endMargin.count();
        const qint64 from = qint64(seconds * 1000) + (suspended ? margin : 0);
        const qint64 to = from + (suspended ? 500 : margin);
        QVERIFY2(ended - began >= from && ended - began < to, qPrintable(QString::number(ended - began)));

        m_output->speak("Pending");
        QTRY_COMPARE(requests().size(), 2);
        const qint64 pid = lastPid();
        QVERIFY(processExists(pid));
        if (destroy) {
            m_output.reset();
            QVERIFY(!processExists(pid)); // gone, and reaped, by the time the destructor returns
            return;
        }
        m_output->shutdown();
        QVERIFY(!m_output->isNeuralVoiceReady());
        QTRY_VERIFY_WITH_TIMEOUT(!processExists(pid), 5000);
        QTest::qWait(300); // three restart units: none may come after a shutdown
        QCOMPARE(launches().size(), 1);
        QCOMPARE(logged().count("Neural voice exited unexpectedly"), 0);
        m_output->speak("After");
        QCOMPARE(m_voice->calls, QStringList{"say:After"});
    }

    void preferredSystemVoice()
    {
        QCOMPARE(SystemVoice::preferredVoice({"English (America)", "English (America)+Zac"}), -1); // no prefix matches
        QCOMPARE(SystemVoice::preferredVoice({"Bob", "Tom Jones", "Alex"}), 2);
        QCOMPARE(SystemVoice::preferredVoice({"English (America)+Tom", "English (America)+Reed"}), 1); // prefix order wins
        QCOMPARE(SystemVoice::preferredVoice({"English (America)+Alexandra", "Samantha"}), 0); // after the last plus
        QCOMPARE(SystemVoice::preferredVoice({"alex", "English+nathan", "Aaron"}), 2); // case sensitive
    }

    void systemVoiceSpeaksAndStops()
    {
        // The real system voice: speech-dispatcher for this test's runtime folder, into the null sink.
        QDir(AppPaths::voiceDir()).removeRecursively();
        SpeechOutput output; // the neural voice is absent: the system voice loads at once
        QSignalSpy speaking(&output, &SpeechOutput::isSpeakingChanged);
        QElapsedTimer clock;
        clock.start();
        output.speak("Hello. This is the system voice of Kestrin, speaking a long sentence so that it can be stopped halfway.");
        QVERIFY(clock.elapsed() < 1000); // the engine loads on its own thread (seconds), not here
        QTRY_VERIFY_WITH_TIMEOUT(output.isSpeaking(), 20000);
        output.stopSpeaking();
        QVERIFY(!output.isSpeaking());
        output.speak("Done.");
        QTRY_VERIFY_WITH_TIMEOUT(speaking.size() == 4 && !output.isSpeaking(), 10000); // no report from the cancelled one
    }
};

KESTRIN_TEST_MAIN(SpeechOutputTest)
#include "tst_speechoutput.moc"

// Speech output against real child processes: a protocol-faithful fake of the neural voice
// server (tests/fake_voice_server.py, run through a "venv" interpreter in the test's own voice
// folder), real WAV files, and a private PulseAudio server with a null sink for playback and
// the system voice.

#include "AppPaths.h"
#include "ClipPlayer.h"
#include "NeuralVoiceServer.h"
#include "SettingsStore.h"
#include "SoundServer.h"
#include "SpeechOutput.h"
#include "SpeechSynthesizer.h"
#include "SystemVoice.h"
#include "TestSupport.h"
#include "VoiceLocator.h"
#include "WavFile.h"

#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtEndian>

#include <csignal>
#include <memory>

#include <unistd.h>

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

/// Stands in for the system voice: records what it was asked, speaks nothing.
class RecordingVoice : public SpeechSynthesizer
{
public:
    QStringList calls; // "prepare", "say:<text>", "stop"

    void prepare() override { calls.append(QStringLiteral("prepare")); }
    void say(const QString &text) override { calls.append(QStringLiteral("say:") + text); }
    void stop() override { calls.append(QStringLiteral("stop")); }

    QStringList said() const
    {
        QStringList texts;
        for (const QString &call : calls) {
            if (call.startsWith(QLatin1String("say:")))
                texts.append(call.mid(4));
        }
        return texts;
    }
};

QJsonObject reply(const QString &kind, const QJsonObject &more = {})
{
    QJsonObject object = more;
    object.insert(QStringLiteral("kind"), kind);
    return object;
}

QList<QJsonObject> jsonLines(const QString &path)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : readAll(path).split('\n')) {
        if (!line.trimmed().isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    }
    return objects;
}

/// Process ids whose parent is this test process.
QList<qint64> childProcesses()
{
    QList<qint64> children;
    const QString self = QString::number(::getpid());
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        bool numeric = false;
        const qint64 pid = it.fileName().toLongLong(&numeric);
        if (!numeric)
            continue;
        // "pid (name) state ppid ...": the name may hold blanks, so read after the last ')'.
        const QByteArray stat = readAll(it.filePath() + QStringLiteral("/stat"));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self.toLatin1())
            children.append(pid);
    }
    return children;
}

bool processExists(qint64 pid)
{
    return QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

/// A WAV file's bytes: a RIFF header, a format chunk of @p formatBody and the given data.
QByteArray riff(const QByteArray &formatBody, const QByteArray &data, const QByteArray &extraChunk = {},
                quint32 declaredDataSize = 0)
{
    auto le32 = [](quint32 v) { QByteArray b(4, 0); qToLittleEndian(v, b.data()); return b; };
    QByteArray body = "WAVE";
    body += "fmt " + le32(quint32(formatBody.size())) + formatBody;
    body += extraChunk;
    body += "data" + le32(declaredDataSize ? declaredDataSize : quint32(data.size())) + data;
    return "RIFF" + le32(quint32(body.size())) + body;
}

QByteArray formatChunk(quint16 tag, quint16 channels, quint32 rate, quint16 bits, quint16 blockAlign = 0)
{
    QByteArray f(16, 0);
    const quint16 align = blockAlign ? blockAlign : quint16(channels * bits / 8);
    qToLittleEndian<quint16>(tag, f.data());
    qToLittleEndian<quint16>(channels, f.data() + 2);
    qToLittleEndian<quint32>(rate, f.data() + 4);
    qToLittleEndian<quint32>(rate * align, f.data() + 8);
    qToLittleEndian<quint16>(align, f.data() + 12);
    qToLittleEndian<quint16>(bits, f.data() + 14);
    return f;
}

QByteArray extensibleChunk(quint16 subFormat, quint16 channels, quint32 rate, quint16 bits)
{
    QByteArray f = formatChunk(0xFFFE, channels, rate, bits);
    QByteArray ext(24, 0);
    qToLittleEndian<quint16>(22, ext.data());         // cbSize
    qToLittleEndian<quint16>(bits, ext.data() + 2);   // valid bits
    qToLittleEndian<quint16>(subFormat, ext.data() + 8); // GUID's first two bytes
    return f + ext;
}

} // namespace

class SpeechOutputTest : public QObject
{
    Q_OBJECT

    SoundServer m_sound;
    QTemporaryDir m_work;
    QString m_python;
    qint64 m_logMark = 0;
    RecordingVoice *m_voice = nullptr; // owned by m_output
    std::unique_ptr<SpeechOutput> m_output;

    QString work(const QString &name) const { return m_work.filePath(name); }
    QString configPath() const { return work(QStringLiteral("fake.json")); }
    QString launchLog() const { return work(QStringLiteral("launches.jsonl")); }
    QString requestLog() const { return work(QStringLiteral("requests.jsonl")); }
    QString modelsDir() const { return AppPaths::voiceDir() + QStringLiteral("/models"); }
    QString interpreter() const { return AppPaths::voiceDir() + QStringLiteral("/venv/bin/python3"); }

    void writeConfig(QJsonObject config)
    {
        config.insert(QStringLiteral("launchLog"), launchLog());
        config.insert(QStringLiteral("requestLog"), requestLog());
        config.insert(QStringLiteral("counterFile"), work(QStringLiteral("launches.count")));
        writeAll(configPath(), QJsonDocument(config).toJson());
    }

    void installVoice(const QByteArray &interpreterText = {})
    {
        writeAll(modelsDir() + QStringLiteral("/kokoro-v1.0.onnx"), "model");
        writeAll(modelsDir() + QStringLiteral("/voices-v1.0.bin"), "voices");
        const QByteArray wrapper = "#!/bin/sh\nexec '" + QFile::encodeName(m_python) + "' '"
            + KESTRIN_FAKE_VOICE_SERVER + "' \"$@\"\n";
        writeAll(interpreter(), interpreterText.isNull() ? wrapper : interpreterText);
        QFile::setPermissions(interpreter(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void makeOutput(std::chrono::milliseconds restartUnit = 100ms)
    {
        m_voice = new RecordingVoice;
        m_output = std::make_unique<SpeechOutput>(m_voice, restartUnit);
    }

    bool startReady(const QJsonObject &config = {}, std::chrono::milliseconds restartUnit = 100ms)
    {
        writeConfig(config);
        makeOutput(restartUnit);
        return QTest::qWaitFor([this] { return m_output->isNeuralVoiceReady(); }, 10000);
    }

    /// The log's messages written since this test function began, without their time stamps.
    QStringList logged() const
    {
        QStringList messages;
        const QByteArray all = readAll(AppPaths::log()).mid(m_logMark);
        for (const QByteArray &line : all.split('\n')) {
            const qsizetype end = line.indexOf("] ");
            if (!line.isEmpty() && end > 0)
                messages.append(QString::fromUtf8(line.mid(end + 2)));
        }
        return messages;
    }

    QList<QJsonObject> launches() const { return jsonLines(launchLog()); }
    QList<QJsonObject> requests() const { return jsonLines(requestLog()); }

    /// This process's children other than the sound server.
    QList<qint64> serverChildren() const
    {
        QList<qint64> children = childProcesses();
        children.removeAll(m_sound.processId());
        return children;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        m_python = QFileInfo::exists(QStringLiteral("/usr/bin/python3"))
            ? QStringLiteral("/usr/bin/python3")
            : QStandardPaths::findExecutable(QStringLiteral("python3"));
        QVERIFY2(!m_python.isEmpty(), "python3 is needed for the fake voice server");
        // The sound server first: Qt Multimedia connects to one once per process.
        QVERIFY2(SoundServer::isInstalled(), "pulseaudio is needed");
        QVERIFY2(m_sound.start(), qPrintable(m_sound.error()));
        qputenv("KESTRIN_FAKE_VOICE", QFile::encodeName(configPath()));
    }

    void init()
    {
        m_logMark = QFileInfo(AppPaths::log()).size();
        for (const QString &name : {launchLog(), requestLog(), work(QStringLiteral("launches.count"))})
            QFile::remove(name);
        QDir(AppPaths::voiceDir()).removeRecursively();
        installVoice();
        writeConfig({});
        SettingsStore::shared()->setKokoroVoice(QLatin1String(SettingsStore::defaultKokoroVoice));
    }

    void cleanup()
    {
        m_output.reset();
        m_voice = nullptr;
    }

    // --- Text cleaning --------------------------------------------------------------------

    void cleanedText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("spoken");
        QTest::newRow("markers") << QStringLiteral("## Title\nThis is **bold**, `code` and __under__.")
                                 << QStringLiteral("Title\nThis is bold, code and under.");
        QTest::newRow("single markers stay") << QStringLiteral("a * b _ c") << QStringLiteral("a * b _ c");
        QTest::newRow("triple asterisks") << QStringLiteral("***x***") << QStringLiteral("*x*");
        QTest::newRow("number signs anywhere") << QStringLiteral("Issue #42") << QStringLiteral("Issue 42");
        QTest::newRow("trim after removal") << QStringLiteral(" \n# \t Hello \n ") << QStringLiteral("Hello");
        QTest::newRow("only number signs") << QStringLiteral("####") << QString();
        QTest::newRow("only white space") << QStringLiteral(" \n\t\r\n ") << QString();
        QTest::newRow("only markers") << QStringLiteral("** __ ` #") << QString();
        QTest::newRow("single asterisks around a word") << QStringLiteral("*a*") << QStringLiteral("*a*");
    }
    void cleanedText()
    {
        QFETCH(QString, text);
        QFETCH(QString, spoken);
        QCOMPARE(SpeechOutput::cleanedText(text), spoken);
    }

    void blankTextSpeaksNothing()
    {
        QVERIFY(startReady());
        QSignalSpy speaking(m_output.get(), &SpeechOutput::isSpeakingChanged);
        for (const QString &blank : {QStringLiteral("###"), QStringLiteral("  \n "), QStringLiteral("** ` __")})
            m_output->speak(blank);
        QCOMPARE(speaking.size(), 0);
        m_output->speak(QStringLiteral("**Done** with `it`\n## now"));
        QTRY_COMPARE(requests().size(), 1);
        QCOMPARE(requests().at(0).value(QStringLiteral("text")).toString(), QStringLiteral("Done with it\n now"));
        QCOMPARE(m_voice->said(), QStringList());
    }

    // --- Decoding clips -------------------------------------------------------------------

    void wavDecoding_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("sampleFormat"); // QAudioFormat::SampleFormat, or -1 for failure
        QTest::addColumn<int>("channels");
        QTest::addColumn<qint64>("frames");
        QTest::addColumn<QString>("error");

        const QByteArray pcm16(4800, 1); // 2400 frames of mono 16-bit
        QTest::newRow("16-bit mono") << riff(formatChunk(1, 1, 24000, 16), pcm16)
                                     << int(QAudioFormat::Int16) << 1 << qint64(2400) << QString();
        QTest::newRow("8-bit stereo") << riff(formatChunk(1, 2, 8000, 8), QByteArray(10, 'x'))
                                      << int(QAudioFormat::UInt8) << 2 << qint64(5) << QString();
        QTest::newRow("24-bit widened") << riff(formatChunk(1, 1, 48000, 24), QByteArray(9, 2))
                                        << int(QAudioFormat::Int32) << 1 << qint64(3) << QString();
        QTest::newRow("32-bit float") << riff(formatChunk(3, 1, 24000, 32), QByteArray(16, 0))
                                      << int(QAudioFormat::Float) << 1 << qint64(4) << QString();
        QTest::newRow("64-bit float narrowed") << riff(formatChunk(3, 2, 24000, 64), QByteArray(32, 0))
                                               << int(QAudioFormat::Float) << 2 << qint64(2) << QString();
        QTest::newRow("extensible PCM") << riff(extensibleChunk(1, 2, 44100, 16), QByteArray(8, 0))
                                        << int(QAudioFormat::Int16) << 2 << qint64(2) << QString();
        QTest::newRow("odd chunk before data is padded")
            << riff(formatChunk(1, 1, 24000, 16), QByteArray(4, 0), QByteArray("LIST\x03\0\0\0abc\0", 12))
            << int(QAudioFormat::Int16) << 1 << qint64(2) << QString();
        QTest::newRow("data size larger than the file") << riff(formatChunk(1, 1, 24000, 16), QByteArray(6, 0), {}, 0xFFFFFFFF)
                                                        << int(QAudioFormat::Int16) << 1 << qint64(3) << QString();
        QTest::newRow("partial last frame dropped") << riff(formatChunk(1, 2, 24000, 16), QByteArray(10, 0))
                                                    << int(QAudioFormat::Int16) << 2 << qint64(2) << QString();

        QTest::newRow("not RIFF") << QByteArray("this is not a RIFF file at all") << -1 << 0 << qint64(0)
                                  << QStringLiteral("not a RIFF WAVE file");
        QTest::newRow("empty") << QByteArray() << -1 << 0 << qint64(0) << QStringLiteral("not a RIFF WAVE file");
        QTest::newRow("no format chunk") << QByteArray("RIFF\x04\0\0\0WAVE", 12) << -1 << 0 << qint64(0)
                                         << QStringLiteral("no format chunk");
        QTest::newRow("ADPCM") << riff(formatChunk(2, 1, 24000, 4, 256), QByteArray(256, 0)) << -1 << 0 << qint64(0)
                               << QStringLiteral("unsupported encoding (format 2, 4 bits)");
        QTest::newRow("no channels") << riff(formatChunk(1, 0, 24000, 16, 2), pcm16) << -1 << 0 << qint64(0)
                                     << QStringLiteral("unsupported channel count 0");
        QTest::newRow("no samples") << riff(formatChunk(1, 1, 24000, 16), QByteArray(1, 0)) << -1 << 0 << qint64(0)
                                    << QStringLiteral("no audio samples");
        QByteArray noData = riff(formatChunk(1, 1, 24000, 16), {});
        noData.chop(8);
        QTest::newRow("no data chunk") << noData << -1 << 0 << qint64(0) << QStringLiteral("no data chunk");
    }
    void wavDecoding()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, sampleFormat);
        QFETCH(int, channels);
        QFETCH(qint64, frames);
        QFETCH(QString, error);
        QString reason;
        const std::optional<WavFile> wav = WavFile::decode(bytes, &reason);
        if (sampleFormat < 0) {
            QVERIFY(!wav);
            QCOMPARE(reason, error);
            return;
        }
        QVERIFY2(wav, qPrintable(reason));
        QCOMPARE(int(wav->format().sampleFormat()), sampleFormat);
        QCOMPARE(wav->format().channelCount(), channels);
        QCOMPARE(wav->frameCount(), frames);
    }

    void wavSampleValues()
    {
        // 24-bit full scale stays full scale; 64-bit floats keep their value.
        const QByteArray pcm24("\xff\xff\x7f\x00\x00\x80", 6);
        const std::optional<WavFile> wide = WavFile::decode(riff(formatChunk(1, 1, 8000, 24), pcm24));
        QVERIFY(wide);
        const auto *ints = reinterpret_cast<const qint32 *>(wide->samples().constData());
        QCOMPARE(ints[0], qint32(0x7fffff00));
        QCOMPARE(ints[1], qint32(0x80000000));
        QByteArray pcm64(8, 0);
        const double half = -0.5;
        std::memcpy(pcm64.data(), &half, 8);
        const std::optional<WavFile> narrow = WavFile::decode(riff(formatChunk(3, 1, 8000, 64), pcm64));
        QVERIFY(narrow);
        QCOMPARE(*reinterpret_cast<const float *>(narrow->samples().constData()), -0.5f);
        QCOMPARE(narrow->duration(), std::chrono::microseconds(125));
    }

    // --- Finding the voice ----------------------------------------------------------------

    void locatorCandidates()
    {
        const VoiceAssets first{interpreter(), modelsDir()};
        QCOMPARE(VoiceLocator::find(), std::optional(first));

        // The desktop candidate, when the voice folder's is incomplete.
        const QTemporaryDir home;
        const QByteArray realHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        const QString oryn = home.filePath(QStringLiteral("Desktop/OrynSidebar"));
        writeAll(oryn + QStringLiteral("/tts/bin/python3"), "#!/bin/sh\n");
        QFile::setPermissions(oryn + QStringLiteral("/tts/bin/python3"), QFile::ReadOwner | QFile::ExeOwner);
        writeAll(oryn + QStringLiteral("/kokoro_models/kokoro-v1.0.onnx"), "m");
        writeAll(oryn + QStringLiteral("/kokoro_models/voices-v1.0.bin"), "v");
        const VoiceAssets second{oryn + QStringLiteral("/tts/bin/python3"), oryn + QStringLiteral("/kokoro_models")};

        QCOMPARE(VoiceLocator::find(), std::optional(first)); // the voice folder comes first
        QFile::remove(modelsDir() + QStringLiteral("/voices-v1.0.bin"));
        QCOMPARE(VoiceLocator::find(), std::optional(second));
        installVoice();
        QFile::setPermissions(interpreter(), QFile::ReadOwner | QFile::WriteOwner); // not executable
        QCOMPARE(VoiceLocator::find(), std::optional(second));
        QFile::remove(oryn + QStringLiteral("/kokoro_models/kokoro-v1.0.onnx"));
        QVERIFY(!VoiceLocator::find());
        qputenv("HOME", realHome);

        const QString script = VoiceLocator::serverScript();
        QVERIFY(script.endsWith(QLatin1String("/resources/kokoro_server.py")));
        QVERIFY(QFileInfo(script).isFile());
    }

    // --- Wire protocol --------------------------------------------------------------------

    void launchAndReadyInTwoChunks()
    {
        const QString marker = work(QStringLiteral("split.sent"));
        const QString go = work(QStringLiteral("split.go"));
        QFile::remove(marker);
        QFile::remove(go);
        writeConfig({{"readySplitAt", 7}, {"splitMarker", marker}, {"splitGo", go}});
        makeOutput();
        QSignalSpy ready(m_output.get(), &SpeechOutput::neuralVoiceReadyChanged);

        QTRY_VERIFY(QFileInfo::exists(marker));
        QTRY_COMPARE(logged(), QStringList{QStringLiteral("Neural voice starting")});
        QTest::qWait(200); // the first half, inside the object, must not count as a line
        QVERIFY(!m_output->isNeuralVoiceReady());
        writeAll(go, {});
        QVERIFY(ready.wait(5000));
        QVERIFY(m_output->isNeuralVoiceReady());
        QCOMPARE(logged(), (QStringList{QStringLiteral("Neural voice starting"), QStringLiteral("Neural voice ready")}));

        const QJsonObject launch = launches().value(0);
        const QStringList argv = launch.value(QStringLiteral("argv")).toVariant().toStringList();
        QCOMPARE(argv, (QStringList{VoiceLocator::serverScript(), QStringLiteral("--models"), modelsDir()}));
        QCOMPARE(launch.value(QStringLiteral("cwd")).toString(), AppPaths::support());
    }

    void ignoredLinesThenTwoLinesInOneChunk()
    {
        // Before "ready": lines that are not for the program, and answers with no request.
        const QString preamble = QStringLiteral(
            "not json\n[1,2]\n{}\n{\"status\":5}\n{\"status\":\"ok\"}\n"
            "{\"status\":\"ok\",\"out\":\"/nonexistent.wav\"}\n{\"status\":\"error\",\"message\":\"nobody asked\"}\n");
        QVERIFY(startReady({{"preamble", preamble},
                            {"stderrBytes", 1 << 20}, // more than a pipe holds: must go nowhere
                            {"replies", QJsonArray{reply("okNoOut"), reply("failThenOk", {{"message", "first"}})}}}));
        QSignalSpy speaking(m_output.get(), &SpeechOutput::isSpeakingChanged);

        m_output->speak(QStringLiteral("One"));
        QTRY_COMPARE(requests().size(), 1);
        m_output->speak(QStringLiteral("Two"));
        QVERIFY(speaking.wait(5000));
        QVERIFY(m_output->isSpeaking());
        // The failure line came first: logged and spoken by the system voice before the clip.
        QCOMPARE(m_voice->said(), QStringList{QStringLiteral("Two")});
        QCOMPARE(logged().filter(QStringLiteral("Neural voice error")), QStringList{QStringLiteral("Neural voice error: first")});
        QCOMPARE(logged().filter(QStringLiteral("Neural voice:")), QStringList());
        QCOMPARE(logged().count(QStringLiteral("Neural voice ready")), 1);
        QTRY_VERIFY(!m_output->isSpeaking());
    }

    void failureLines_data()
    {
        QTest::addColumn<QJsonObject>("failure");
        QTest::addColumn<QString>("line");
        QTest::newRow("message") << reply("fail", {{"message", "voice am_nobody not found"}})
                                 << QStringLiteral("Neural voice error: voice am_nobody not found");
        QTest::newRow("no message") << reply("fail") << QStringLiteral("Neural voice error: unknown error");
        QTest::newRow("message not text") << reply("fail", {{"messageValue", 42}})
                                          << QStringLiteral("Neural voice error: unknown error");
    }
    void failureLines()
    {
        QFETCH(QJsonObject, failure);
        QFETCH(QString, line);
        QVERIFY(startReady({{"replies", QJsonArray{failure}}}));
        m_output->speak(QStringLiteral("  **Hello** there  "));
        QTRY_COMPARE(m_voice->said(), QStringList{QStringLiteral("Hello there")});
        QCOMPARE(logged().filter(QStringLiteral("error")), QStringList{line});
        QVERIFY(!m_output->isSpeaking()); // the stand-in never starts
    }

    void laterHandlerPlaysBothClips()
    {
        // The first answer is slow and long, the second quick and short: each answer goes to
        // the latest request's handler, and the second clip replaces the first.
        QVERIFY(startReady({{"replies", QJsonArray{reply("ok", {{"seconds", 3.0}, {"delay", 0.3}}),
                                                   reply("ok", {{"seconds", 0.3}})}}}));
        QSignalSpy speaking(m_output.get(), &SpeechOutput::isSpeakingChanged);
        m_output->speak(QStringLiteral("First"));
        m_output->speak(QStringLiteral("Second"));
        QVERIFY(!m_output->isSpeaking()); // nothing until a clip arrives

        QVERIFY(speaking.wait(5000));
        QVERIFY(m_output->isSpeaking());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(speaking.wait(5000));
        QVERIFY(!m_output->isSpeaking());
        // Ended with the short clip, long before the first would have.
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(speaking.size(), 2);

        const QList<QJsonObject> sent = requests();
        QCOMPARE(sent.size(), 2);
        const QString folder = NeuralVoiceServer::outputFolder();
        QCOMPARE(modeOf(folder), 0700);
        QVERIFY(!folder.startsWith(QLatin1String("/tmp/kestrin_speech")));
        QCOMPARE(sent.at(0).value(QStringLiteral("out")).toString(), folder + QStringLiteral("kestrin_speech_1.wav"));
        QCOMPARE(sent.at(1).value(QStringLiteral("out")).toString(), folder + QStringLiteral("kestrin_speech_2.wav"));
        QCOMPARE(sent.at(1).value(QStringLiteral("text")).toString(), QStringLiteral("Second"));
        QVERIFY(!QFile::exists(folder + QStringLiteral("kestrin_speech_1.wav")));
        QVERIFY(!QFile::exists(folder + QStringLiteral("kestrin_speech_2.wav")));
        QCOMPARE(m_voice->said(), QStringList());
        QCOMPARE(logged().filter(QStringLiteral("Neural voice:")), QStringList());
    }

    void stopDuringSynthesisStillPlaysClip()
    {
        const QString go = work(QStringLiteral("answer.go"));
        QFile::remove(go);
        QVERIFY(startReady({{"replies", QJsonArray{reply("ok", {{"waitFor", go}})}}}));
        m_output->speak(QStringLiteral("Wait for it"));
        QTRY_COMPARE(requests().size(), 1);
        m_output->stopSpeaking();
        QVERIFY(!m_output->isSpeaking());
        QCOMPARE(m_voice->calls, QStringList{QStringLiteral("stop")});
        writeAll(go, {});
        QTRY_VERIFY(m_output->isSpeaking());
        m_output->stopSpeaking(); // and a playing clip stops at once
        QVERIFY(!m_output->isSpeaking());
    }

    void voiceSettingReadPerRequest()
    {
        QVERIFY(startReady());
        SettingsStore::shared()->setKokoroVoice(QStringLiteral("am_echo"));
        m_output->speak(QStringLiteral("One"));
        QTRY_VERIFY(m_output->isSpeaking());
        SettingsStore::shared()->setKokoroVoice(QStringLiteral("am_puck"));
        m_output->speak(QStringLiteral("Two"));
        QTRY_COMPARE(requests().size(), 2);
        QCOMPARE(requests().at(0).value(QStringLiteral("voice")).toString(), QStringLiteral("am_echo"));
        QCOMPARE(requests().at(1).value(QStringLiteral("voice")).toString(), QStringLiteral("am_puck"));
    }

    void clipsThatCannotBePlayed()
    {
        QVERIFY(startReady({{"replies", QJsonArray{reply("undecodable"), reply("missing")}}}));
        QSignalSpy speaking(m_output.get(), &SpeechOutput::isSpeakingChanged);
        const QString first = NeuralVoiceServer::outputPath(1);

        m_output->speak(QStringLiteral("Garbled"));
        QTRY_COMPARE(logged().filter(QStringLiteral("Neural voice:")),
                     QStringList{QStringLiteral("Neural voice: playback failed: not a RIFF WAVE file")});
        QVERIFY(!QFile::exists(first));

        m_output->speak(QStringLiteral("Lost"));
        QTRY_COMPARE(logged().filter(QStringLiteral("Neural voice:")).size(), 2);
        QCOMPARE(logged().filter(QStringLiteral("Neural voice:")).last(), QStringLiteral("Neural voice: output missing"));
        QCOMPARE(speaking.size(), 0);
        QCOMPARE(m_voice->said(), QStringList()); // neither reply is spoken at all
    }

    // --- Server lifecycle -----------------------------------------------------------------

    void notInstalledUsesSystemVoice()
    {
        QDir(AppPaths::voiceDir()).removeRecursively();
        makeOutput();
        QCOMPARE(logged(), QStringList{QStringLiteral("Neural voice not installed, using the system voice")});
        QCOMPARE(m_voice->calls, QStringList{QStringLiteral("prepare")}); // loaded ahead of use
        m_output->speak(QStringLiteral("`Hi`"));
        QCOMPARE(m_voice->said(), QStringList{QStringLiteral("Hi")});
        QCOMPARE(serverChildren(), QList<qint64>());
    }

    void launchFailureIsNotRetried()
    {
        installVoice("#!/nonexistent/interpreter\n");
        makeOutput(10ms);
        QTRY_VERIFY(!logged().isEmpty());
        QTRY_COMPARE(m_voice->calls, QStringList{QStringLiteral("prepare")});
        const QStringList lines = logged();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.at(0).startsWith(QLatin1String("Failed to start neural voice: ")), qPrintable(lines.at(0)));
        QVERIFY(lines.at(0).size() > int(qstrlen("Failed to start neural voice: ")));
        QTest::qWait(100); // ten restart delays: none may come
        QCOMPARE(logged().size(), 1);
        m_output->speak(QStringLiteral("Fallback"));
        QCOMPARE(m_voice->said(), QStringList{QStringLiteral("Fallback")});
    }

    void restartsAfterTwoFourSixSecondsThenGivesUp()
    {
        // Real time: a server that never gets ready, killed each time it comes up.
        writeConfig({{"readyDelay", -1}});
        makeOutput(NeuralVoiceServer::defaultRestartDelayUnit);
        QList<qint64> killedAt; // ms since the epoch, the clock the fake stamps its launches with
        for (int launch = 1; launch <= 4; ++launch) {
            QTRY_COMPARE_WITH_TIMEOUT(launches().size(), launch, 10000);
            QCOMPARE(m_voice->calls, QStringList());
            killedAt.append(QDateTime::currentMSecsSinceEpoch());
            ::kill(pid_t(launches().last().value(QStringLiteral("pid")).toInteger()), SIGKILL);
        }
        for (int restart = 1; restart <= 3; ++restart) {
            const qint64 launchedAt = qint64(launches().at(restart).value(QStringLiteral("time")).toDouble() * 1000);
            const qint64 gap = launchedAt - killedAt.at(restart - 1);
            const qint64 expected = 2000 * restart;
            QVERIFY2(gap >= expected - 20 && gap < expected + 1000,
                     qPrintable(QStringLiteral("restart %1 after %2 ms").arg(restart).arg(gap)));
        }
        // The fourth exit: no restart, the system voice from now on.
        QTRY_COMPARE(m_voice->calls, QStringList{QStringLiteral("prepare")});
        QCOMPARE(logged().count(QStringLiteral("Neural voice exited unexpectedly")), 4);
        QCOMPARE(logged().count(QStringLiteral("Neural voice starting")), 4);
        m_output->speak(QStringLiteral("Plain voice"));
        QCOMPARE(m_voice->said(), QStringList{QStringLiteral("Plain voice")});
    }

    void readyResetsTheRestartCount()
    {
        // Three exits before ready, ready on the fourth launch; after that three more exits
        // are again within the limit.
        writeConfig({{"exitBeforeReady", 3}});
        makeOutput(50ms);
        QTRY_VERIFY_WITH_TIMEOUT(m_output->isNeuralVoiceReady(), 10000);
        QCOMPARE(launches().size(), 4);
        QCOMPARE(logged().count(QStringLiteral("Neural voice exited unexpectedly")), 3);

        // Three more exits are allowed after a "ready": the killed server and two more.
        QFile::remove(work(QStringLiteral("launches.count")));
        writeConfig({{"exitBeforeReady", 2}});
        ::kill(pid_t(launches().last().value(QStringLiteral("pid")).toInteger()), SIGKILL);
        QTRY_VERIFY(!m_output->isNeuralVoiceReady());
        QTRY_VERIFY_WITH_TIMEOUT(m_output->isNeuralVoiceReady(), 10000);
        QCOMPARE(launches().size(), 7);
        QCOMPARE(logged().count(QStringLiteral("Neural voice ready")), 2);
        QCOMPARE(m_voice->calls, QStringList());

        // And the fourth exit in a row is the last.
        QFile::remove(work(QStringLiteral("launches.count")));
        writeConfig({{"exitBeforeReady", 100}});
        ::kill(pid_t(launches().last().value(QStringLiteral("pid")).toInteger()), SIGKILL);
        QTRY_COMPARE_WITH_TIMEOUT(m_voice->calls, QStringList{QStringLiteral("prepare")}, 10000);
        QCOMPARE(launches().size(), 10); // the killed one and three restarts: four exits
        QTest::qWait(400); // eight restart units: no fifth start
        QCOMPARE(launches().size(), 10);
    }

    void exitWithRequestPendingDropsIt()
    {
        // Restarts after half a second: time to speak while there is no server.
        QVERIFY(startReady({{"replies", QJsonArray{reply("exit")}}}, 500ms));
        m_output->speak(QStringLiteral("Never said"));
        QTRY_COMPARE(logged().count(QStringLiteral("Neural voice exited unexpectedly")), 1);
        QVERIFY(!m_output->isNeuralVoiceReady());
        m_output->speak(QStringLiteral("While restarting")); // not ready: the system voice
        QCOMPARE(m_voice->said(), QStringList{QStringLiteral("While restarting")});
        QTRY_VERIFY(m_output->isNeuralVoiceReady());
        QCOMPARE(m_voice->said(), QStringList{QStringLiteral("While restarting")});
    }

    void shutdownLeavesNoChild_data()
    {
        QTest::addColumn<QJsonObject>("behaviour");
        QTest::newRow("leaves at the end of its input") << QJsonObject();
        QTest::newRow("ignores SIGTERM and the end of its input")
            << QJsonObject{{"ignoreTerm", true}, {"ignoreEof", true}};
    }
    void shutdownLeavesNoChild()
    {
        QFETCH(QJsonObject, behaviour);
        behaviour.insert(QStringLiteral("replies"), QJsonArray{reply("silent")});
        QVERIFY(startReady(behaviour));
        m_output->speak(QStringLiteral("Pending"));
        QTRY_COMPARE(requests().size(), 1);
        const qint64 pid = launches().last().value(QStringLiteral("pid")).toInteger();
        QCOMPARE(serverChildren(), QList<qint64>{pid});

        m_output->shutdown();
        QVERIFY(!m_output->isNeuralVoiceReady());
        QTRY_COMPARE_WITH_TIMEOUT(serverChildren(), QList<qint64>(), 5000);
        QVERIFY(!processExists(pid));
        QTest::qWait(300); // three restart units: none may come after a shutdown
        QCOMPARE(launches().size(), 1);
        QCOMPARE(logged().count(QStringLiteral("Neural voice exited unexpectedly")), 0);
        m_output->speak(QStringLiteral("After"));
        QCOMPARE(m_voice->said(), QStringList{QStringLiteral("After")});
    }

    void destroyingTerminatesServer()
    {
        QVERIFY(startReady());
        const qint64 pid = launches().last().value(QStringLiteral("pid")).toInteger();
        QVERIFY(processExists(pid));
        m_output.reset();
        QVERIFY(!processExists(pid)); // gone, and reaped, by the time the destructor returns
        QCOMPARE(serverChildren(), QList<qint64>());
    }

    // --- Sound ----------------------------------------------------------------------------

    /// Milliseconds from isSpeaking turning true to turning false, for the next clip.
    qint64 measureClip(const QString &text)
    {
        QElapsedTimer clock;
        qint64 began = -1;
        qint64 ended = -1;
        QObject context;
        connect(m_output.get(), &SpeechOutput::isSpeakingChanged, &context, [&] {
            (m_output->isSpeaking() ? began : ended) = clock.elapsed();
        });
        clock.start();
        m_output->speak(text);
        if (!QTest::qWaitFor([&] { return ended >= 0; }, 10000) || began < 0)
            return -1;
        return ended - began;
    }

    void clipPlaysForItsDuration()
    {
        QVERIFY(startReady({{"replies", QJsonArray{reply("ok", {{"seconds", 1.0}})}}}));
        const qint64 played = measureClip(QStringLiteral("A one second reply"));
        QVERIFY2(played >= 1000 && played < 1000 + ClipPlayer::endMargin.count(), qPrintable(QString::number(played)));
    }

    void clipEndNeverReported()
    {
        // A suspended sink takes the stream but never plays it: the sink never turns idle.
        const QStringList suspend{QStringLiteral("suspend-sink"), QLatin1String(SoundServer::sinkName)};
        QVERIFY(m_sound.pactl(suspend + QStringList{QStringLiteral("1")}));
        const auto resume = qScopeGuard([&] { m_sound.pactl(suspend + QStringList{QStringLiteral("0")}); });
        QVERIFY(startReady({{"replies", QJsonArray{reply("ok", {{"seconds", 0.3}})}}}));
        const qint64 played = measureClip(QStringLiteral("Into the void"));
        const qint64 limit = 300 + ClipPlayer::endMargin.count();
        QVERIFY2(played >= limit && played < limit + 500, qPrintable(QString::number(played)));
    }

    void preferredSystemVoice_data()
    {
        QTest::addColumn<QStringList>("voices");
        QTest::addColumn<int>("index");
        QTest::newRow("none") << QStringList() << -1;
        QTest::newRow("no prefix matches") << QStringList{"English (America)", "English (America)+Zac"} << -1;
        QTest::newRow("name prefix") << QStringList{"Bob", "Tom Jones", "Alex"} << 2;
        QTest::newRow("prefix order beats list order") << QStringList{"English (America)+Tom", "English (America)+Reed"} << 1;
        QTest::newRow("variant after the last plus") << QStringList{"English (America)+Alexandra", "Samantha"} << 0;
        QTest::newRow("case sensitive") << QStringList{"alex", "English+nathan", "Aaron"} << 2;
    }
    void preferredSystemVoice()
    {
        QFETCH(QStringList, voices);
        QFETCH(int, index);
        QCOMPARE(SystemVoice::preferredVoice(voices), qsizetype(index));
    }

    void systemVoiceSpeaksAndStops()
    {
        // The real system voice: speech-dispatcher, started for this test's runtime folder and
        // playing into the null sink.
        QDir(AppPaths::voiceDir()).removeRecursively();
        SpeechOutput output; // loads the system voice at once: the neural voice is absent
        QSignalSpy speaking(&output, &SpeechOutput::isSpeakingChanged);
        QElapsedTimer clock;
        clock.start();
        output.speak(QStringLiteral("Hello. This is the system voice of Kestrin, speaking a long sentence "
                                    "so that it can be stopped halfway through."));
        QVERIFY(clock.elapsed() < 100); // the engine loads on its own thread
        QTRY_VERIFY_WITH_TIMEOUT(output.isSpeaking(), 20000);
        output.stopSpeaking();
        QVERIFY(!output.isSpeaking());
        QTest::qWait(500); // the cancelled utterance must not report itself again
        QVERIFY(!output.isSpeaking());
        QCOMPARE(speaking.size(), 2);

        output.speak(QStringLiteral("Done."));
        QTRY_VERIFY_WITH_TIMEOUT(output.isSpeaking(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!output.isSpeaking(), 10000);
        QCOMPARE(speaking.size(), 4);
    }
};

KESTRIN_TEST_MAIN(SpeechOutputTest)
#include "tst_speechoutput.moc"

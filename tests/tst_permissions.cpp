#include "Permissions.h"
#include "TestSupport.h"

#include <QGuiApplication>

#include <QThread>

using Permissions::Authorization;

Q_DECLARE_METATYPE(Authorization)
Q_DECLARE_METATYPE(PermissionState)

namespace {

Permissions::Sources fixed(Authorization microphone, Authorization speech, bool screen = false)
{
    Permissions::Sources sources;
    sources.microphone = [microphone] { return microphone; };
    sources.speech = [speech] { return speech; };
    sources.screenAllowed = [screen] { return screen; };
    sources.requestSpeech = [](std::function<void(bool)> done) { done(true); };
    sources.requestMicrophone = [](std::function<void(bool)> done) { done(true); };
    return sources;
}

} // namespace

class PermissionsTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { Permissions::setSources({}); }

    void voiceCombination_data()
    {
        QTest::addColumn<Authorization>("microphone");
        QTest::addColumn<Authorization>("speech");
        QTest::addColumn<PermissionState>("voice");
        using A = Authorization;
        using P = PermissionState;
        QTest::newRow("both authorised") << A::authorized << A::authorized << P::granted;
        QTest::newRow("mic ok, speech undecided") << A::authorized << A::notDetermined << P::notDetermined;
        QTest::newRow("mic undecided, speech ok") << A::notDetermined << A::authorized << P::notDetermined;
        QTest::newRow("both undecided") << A::notDetermined << A::notDetermined << P::notDetermined;
        QTest::newRow("mic ok, speech denied") << A::authorized << A::denied << P::denied;
        QTest::newRow("mic ok, speech restricted") << A::authorized << A::restricted << P::denied;
        QTest::newRow("mic restricted, speech ok") << A::restricted << A::authorized << P::denied;
        QTest::newRow("mic denied, speech undecided") << A::denied << A::notDetermined << P::denied;
        QTest::newRow("mic undecided, speech denied") << A::notDetermined << A::denied << P::denied;
    }
    void voiceCombination()
    {
        QFETCH(Authorization, microphone);
        QFETCH(Authorization, speech);
        QFETCH(PermissionState, voice);
        Permissions::setSources(fixed(microphone, speech));
        QCOMPARE(Permissions::voice(), voice);
        QCOMPARE(Permissions::microphone(), Permissions::fromAuthorization(microphone));
        QCOMPARE(Permissions::speech(), Permissions::fromAuthorization(speech));
    }

    void screenIsGrantedOrUndecided()
    {
        Permissions::setSources(fixed(Authorization::authorized, Authorization::authorized, true));
        QCOMPARE(Permissions::screen(), PermissionState::granted);
        // A refusal reads as undecided: the platform only says allowed or not.
        Permissions::setSources(fixed(Authorization::authorized, Authorization::authorized, false));
        QCOMPARE(Permissions::screen(), PermissionState::notDetermined);
    }

    void requestVoiceAsksSpeechFirstAndAnswersOnTheMainThread_data()
    {
        QTest::addColumn<bool>("speechAnswer");
        QTest::addColumn<bool>("microphoneAnswer");
        QTest::newRow("both") << true << true;
        QTest::newRow("speech granted, microphone refused") << true << false;
        QTest::newRow("speech refused") << false << true;
    }
    void requestVoiceAsksSpeechFirstAndAnswersOnTheMainThread()
    {
        QFETCH(bool, speechAnswer);
        QFETCH(bool, microphoneAnswer);
        QStringList asked;
        Permissions::Sources sources = fixed(Authorization::notDetermined, Authorization::notDetermined);
        // The platform answers on threads of its own.
        auto answerLater = [&asked](const QString &name, bool answer) {
            return [&asked, name, answer](std::function<void(bool)> done) {
                asked << name;
                QThread *thread = QThread::create([done, answer] { done(answer); });
                QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
                thread->start();
            };
        };
        sources.requestSpeech = answerLater(QStringLiteral("speech"), speechAnswer);
        sources.requestMicrophone = answerLater(QStringLiteral("microphone"), microphoneAnswer);
        Permissions::setSources(sources);

        int calls = 0;
        bool granted = false;
        Qt::HANDLE thread = nullptr;
        Permissions::requestVoice(this, [&](bool g) {
            ++calls;
            granted = g;
            thread = QThread::currentThreadId();
        });
        QTRY_COMPARE(calls, 1);
        QTest::qWait(50);
        QCOMPARE(calls, 1);
        QCOMPARE(granted, speechAnswer && microphoneAnswer);
        QCOMPARE(thread, QThread::currentThreadId());
        QCOMPARE(asked.first(), QStringLiteral("speech"));
    }

    void requestVoiceSkipsADeadContext()
    {
        Permissions::setSources(fixed(Authorization::authorized, Authorization::authorized));
        bool called = false;
        {
            QObject context;
            Permissions::requestVoice(&context, [&](bool) { called = true; });
        }
        QTest::qWait(50);
        QVERIFY(!called);
    }

    void thisMachine()
    {
        // The recognizer's model is a dependency of the build, so speech reads granted here.
        QCOMPARE(Permissions::speech(), PermissionState::granted);
        // Offscreen is not X11: no screen grab.
        QCOMPARE(Permissions::screen(), PermissionState::notDetermined);
        QVERIFY(Permissions::microphone() != PermissionState::notDetermined);
    }
};

KESTRIN_GUI_TEST_MAIN(PermissionsTest)
#include "tst_permissions.moc"

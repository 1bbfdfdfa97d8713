#include "Permissions.h"
#include "TestSupport.h"

#include <QGuiApplication>
#include <QThread>

#include <memory>
#include <vector>

using Permissions::Authorization;
using A = Authorization;
using P = PermissionState;

Q_DECLARE_METATYPE(Authorization)
Q_DECLARE_METATYPE(PermissionState)

namespace {

std::vector<std::unique_ptr<QThread>> answering; // joined at the end

/// Fixed answers; the requests answer later, each on a thread of its own.
Permissions::Sources fixed(A microphone, A speech, bool screen = false, bool speechAnswer = true, bool microphoneAnswer = true)
{
    auto later = [](bool answer) {
        return [answer](std::function<void(bool)> done) {
            answering.emplace_back(QThread::create([done, answer] { done(answer); }))->start();
        };
    };
    return {[microphone] { return microphone; }, [speech] { return speech; }, [screen] { return screen; },
            later(speechAnswer), later(microphoneAnswer)};
}

} // namespace

class PermissionsTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase()
    {
        for (const auto &thread : answering)
            thread->wait();
        answering.clear();
    }

    void cleanup() { Permissions::setSources({}); }

    void voiceCombination_data()
    {
        QTest::addColumn<A>("microphone"), QTest::addColumn<A>("speech"), QTest::addColumn<P>("voice");
        QTest::newRow("both authorised") << A::authorized << A::authorized << P::granted;
        QTest::newRow("one undecided") << A::authorized << A::notDetermined << P::notDetermined;
        QTest::newRow("restricted is a refusal") << A::restricted << A::authorized << P::denied;
        QTest::newRow("a refusal beats undecided") << A::notDetermined << A::denied << P::denied;
    }
    void voiceCombination()
    {
        QFETCH(A, microphone); QFETCH(A, speech); QFETCH(P, voice);
        Permissions::setSources(fixed(microphone, speech));
        QCOMPARE(Permissions::voice(), voice);
        QCOMPARE(Permissions::screen(), P::notDetermined);
        Permissions::setSources(fixed(microphone, speech, true));
        QCOMPARE(Permissions::screen(), P::granted);
    }

    void requestVoice_data()
    {
        QTest::addColumn<bool>("speechAnswer"), QTest::addColumn<bool>("microphoneAnswer");
        QTest::newRow("both") << true << true;
        QTest::newRow("microphone refused") << true << false;
        QTest::newRow("speech refused") << false << true;
    }
    void requestVoice()
    {
        QFETCH(bool, speechAnswer); QFETCH(bool, microphoneAnswer);
        Permissions::setSources(fixed(A::notDetermined, A::notDetermined, false, speechAnswer, microphoneAnswer));
        QList<bool> answers;
        bool onMainThread = true;
        Permissions::requestVoice(this, [&](bool granted) {
            answers << granted;
            onMainThread = onMainThread && QThread::currentThread() == thread();
        });
        QTRY_COMPARE(answers.size(), 1);
        QTest::qWait(50);
        QCOMPARE(answers, QList<bool>{speechAnswer && microphoneAnswer}); // once
        QVERIFY(onMainThread);

        auto *context = new QObject; // gone before the answer: never called
        Permissions::requestVoice(context, [&](bool granted) { answers << granted; });
        delete context;
        QTest::qWait(100);
        QCOMPARE(answers.size(), 1);
    }

    void thisMachine()
    {
        // The recognizer's model is a dependency of the build; offscreen is not X11, and a
        // refusal of the screen cannot be told from undecided.
        QCOMPARE(Permissions::speech(), P::granted);
        QCOMPARE(Permissions::screen(), P::notDetermined);
        QVERIFY(Permissions::microphone() != P::notDetermined);
    }
};

KESTRIN_GUI_TEST_MAIN(PermissionsTest)
#include "tst_permissions.moc"

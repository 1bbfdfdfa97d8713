// The neural voice server's output: JSON lines cut anywhere. Answers go to the requests in
// order, each at most once, and the cuts change nothing.

#include "FuzzSupport.h"
#include "NeuralVoiceServer.h"

struct VoiceServerProbe
{
    static void ask(NeuralVoiceServer &server, qint64 requests, NeuralVoiceServer::Completion completion)
    {
        for (qint64 i = 0; i < requests; ++i)
            server.m_unanswered.push_back(++server.m_requestId);
        server.m_completion = std::move(completion);
    }
    static void receive(NeuralVoiceServer &server, const QByteArray &bytes) { server.receive(bytes); }
    static qsizetype pending(const NeuralVoiceServer &server) { return server.m_buffer.size(); }
};

namespace {

constexpr qint64 requests = 4;

struct Heard
{
    QList<qint64> answered;
    QList<bool> ok;
    QStringList texts;
    int readyChanges = 0;
    bool ready = false;
    qsizetype pending = 0;

    bool operator==(const Heard &) const = default;
};

Heard listen(QByteArrayView bytes, Fuzz::Cut cut)
{
    Heard heard;
    NeuralVoiceServer server;
    QObject::connect(&server, &NeuralVoiceServer::readyChanged, [&] { ++heard.readyChanges; });
    VoiceServerProbe::ask(server, requests, [&](qint64 request, const SynthesisResult &result) {
        Fuzz::check(request >= 1 && request <= requests, "an answer is for a request sent");
        Fuzz::check(heard.answered.isEmpty() || request == heard.answered.last() + 1, "answers in request order");
        Fuzz::check(result.ok ? result.message.isEmpty() : result.path.isEmpty(), "a path or a reason");
        heard.answered.append(request);
        heard.ok.append(result.ok);
        heard.texts.append(result.ok ? result.path : result.message);
    });
    Fuzz::inPieces(bytes, cut, [&](const QByteArray &piece) {
        VoiceServerProbe::receive(server, piece);
        return true;
    });
    heard.ready = server.isReady();
    heard.pending = VoiceServerProbe::pending(server);
    const qsizetype lastLine = bytes.toByteArray().lastIndexOf('\n');
    Fuzz::check(heard.pending == bytes.size() - (lastLine + 1), "only the unterminated rest is kept");
    return heard;
}

} // namespace

KESTRIN_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    const Heard whole = listen(bytes, Fuzz::Cut::whole);
    Fuzz::check(listen(bytes, Fuzz::Cut::bytes) == whole, "byte-wise output equals the whole output");
    Fuzz::check(listen(bytes, Fuzz::Cut::random) == whole, "randomly cut output equals the whole output");
    return 0;
}

#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

/// One running program per user (per support folder): a later launch hands its launch flags to
/// the running one over a local socket in the private support folder, and exits.
///
/// Thread: main.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    /// @p socketPath: where the running instance listens (default: in the support folder).
    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject *parent = nullptr);
    ~SingleInstance() override;

    static QString defaultSocketPath();

    /// True when this process is the first: it now listens for later launches. False when
    /// another instance runs (it has taken @p arguments, or it is alive but did not answer);
    /// this process should then exit.
    bool claim(const QStringList &arguments);

signals:
    /// A later launch handed over its arguments (launch flags, without the program).
    void launchedAgain(const QStringList &arguments);

private:
    enum class HandOver { done, noServer, noAnswer };
    HandOver handOver(const QStringList &arguments);
    bool listen();

    QString m_socketPath;
    QLocalServer *m_server = nullptr;
};

#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One application per user and home: the first launch listens on a local socket, a later one
// asks it to come to the front and then leaves. Two models running installers side by side in
// one home would fight over the same files and processes.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstance(QString name = defaultName(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // Per user and per home, so that sandboxes and tests with homes of their own never meet.
    static QString defaultName();

    // True when this process is now the one instance; false when a running one took the request
    // to come forward. A socket left by a crashed instance is taken over.
    bool claim();

    QString name() const { return m_name; }

Q_SIGNALS:
    // A later launch asked the running instance to show itself.
    void activationRequested();

private:
    bool askRunningInstance();
    bool listen();

    QString m_name;
    QLocalServer *m_server = nullptr;
};

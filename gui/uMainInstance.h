// A second start of the program with a display: instead of a box saying the
// program is already running, it asks the running instance to show and
// raise its main window. The running instance listens on a local socket
// beside its lock file ("<base name>.socket" in the application directory);
// only the holder of the lock listens, so the path is its own to replace.
// Main (GUI) thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <deque>
#include <functional>

class QLocalServer;
class QLocalSocket;

// "<appDir>/<base name>.socket".
QString InstanceSocketPath(const QString& appDir);

// The running instance's side. Each connection that sends the line "show"
// runs OnShow and is answered "shown"; anything else is dropped, and so is
// a connection that has not sent its line within 2 s. Each is accepted at
// once; when more than a few are open the oldest is closed.
class TInstanceServer : public QObject {
    Q_OBJECT
public:
    explicit TInstanceServer(std::function<void()> onShow, QObject* parent = nullptr);
    ~TInstanceServer() override;
    // Replaces a socket left behind by an instance that died (the caller
    // holds the directory's lock, so nobody else can be listening there).
    // False, with *error set, when the socket cannot be made.
    bool Listen(const QString& path, QString* error = nullptr);

private:
    void Serve();
    std::function<void()> OnShow_;
    QLocalServer* Server_ = nullptr;
    std::deque<QPointer<QLocalSocket>> Open_; // oldest first
};

// The second start's side: sends "show" to the instance listening at path
// and waits up to timeoutMs for its answer. True only when it answered, so
// a socket nobody serves (a hung or killed instance) is never mistaken for
// success. Blocks the calling thread; no event loop is needed.
bool AskRunningInstanceToShow(const QString& path, int timeoutMs = 3000);

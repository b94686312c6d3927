// One running instance of a program per user. The first start listens on a
// local socket named after a key; a later start hands its message (a file to
// open, or nothing) to the first and learns that it arrived.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class QLocalServer;

namespace pallorwind::platform {

class SingleInstance {
public:
    // Called on the event loop with each message a later start handed over.
    using MessageHandler = std::function<void(const QString& message)>;

    enum class Result {
        First,       // this is the first instance and now listens
        Delivered,   // the first instance has the message
        Failed,      // a first instance is there but did not take the message (it
                     // did not answer, or the message is longer than kMaxMessage)
        Unavailable, // no first instance answered and no socket could be made
                     // here: instances cannot find each other
    };

    // `key` names the socket (a plain name, e.g. the program's): it lives in
    // the user's runtime folder (UserRuntimeDir), or under `folder` when one
    // is given. Without either, Start fails.
    explicit SingleInstance(const QString& key, const QString& folder = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // At start-up, before the event loop runs: waits up to `timeout` for the
    // first instance's answer. A socket left behind by an instance that
    // crashed does not count as a first instance.
    Result Start(const QString& message, MessageHandler onMessage,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // The socket's path; empty without a folder for it.
    const QString& ServerName() const { return m_name; }

    // The largest message handed over, in bytes of UTF-8.
    static constexpr int kMaxMessage = 64 * 1024;

private:
    Result Deliver(const QString& message, std::chrono::milliseconds timeout, bool& nobodyThere);
    bool Listen();
    void Accept();

    QString m_name;
    MessageHandler m_onMessage;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace pallorwind::platform

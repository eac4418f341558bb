// One client per user: a second start asks the running one to show its window
// and ends, since a second client would hold a session and key pair of its own.
// Another user on the same machine has a channel, and a client, of their own.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <chrono>

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // How long a running client has to say that it showed itself. One that does
  // not answer is hung (or busy past reason): this start goes ahead instead.
  static constexpr std::chrono::milliseconds kAnswerWait{3000};

  enum class Start {
    First,              // no client of this user ran: this one listens
    ShownOther,         // the running client showed itself; this start ends
    OtherUnresponsive,  // one runs but did not answer: this one takes the channel over
    NoChannel,          // the user has no folder of their own for the channel: no guard
  };

  explicit SingleInstance(const QString& channel = UserChannel(), std::chrono::milliseconds answerWait = kAnswerWait,
                          QObject* parent = nullptr);
  Start Outcome() const { return outcome; }
  // Linux: a socket in the user's runtime folder, which must be the user's
  // alone (empty when there is none); Windows: a pipe name drawn from the
  // user's home folder, open to the user only.
  static QString UserChannel();

 signals:
  void ShowRequested();  // a later start of this user's client

 private:
  QLocalServer server;
  Start outcome = Start::First;
};

// One client per user: a second start asks the running one to show its window
// and ends, since a second client would hold a session and key pair of its own.
// Another user on the same machine has a channel, and a client, of their own.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(const QString& channel = UserChannel(), QObject* parent = nullptr);
  // False when another client of this user runs; it has been asked to show itself.
  bool First() const { return server.isListening(); }
  // Linux: a socket in the user's runtime folder where there is one; Windows
  // (and Linux without one): a name drawn from the user's home folder.
  static QString UserChannel();

 signals:
  void ShowRequested();  // a later start of this user's client

 private:
  QLocalServer server;
};

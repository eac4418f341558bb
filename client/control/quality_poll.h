// Asks the service how the path to the node does, on a thread of its own: an
// exchange may wait a second or more for a busy or stuck service, and the
// window must not wait with it.
#pragma once

#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>

class QualityPoll : public QObject {
  Q_OBJECT

 public:
  explicit QualityPoll(QObject* parent = nullptr);
  ~QualityPoll() override;  // waits for an exchange under way

  // One QueryQuality exchange; its outcome comes as Answered on this object's
  // thread. While one is under way a new question is dropped: a slow service
  // is asked once at a time, not once for every second it kept us waiting.
  void Ask();

 signals:
  void Answered(bool ok, const QString& replyText, const QString& errorText);

 private:
  QThread thread;
  QObject* worker;  // lives on `thread`
  std::atomic<bool> asking{false};
};

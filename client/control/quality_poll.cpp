#include "quality_poll.h"

#include "control_client.h"
#include "control_frame.h"

QualityPoll::QualityPoll(QObject* parent) : QObject(parent), worker(new QObject) {
  worker->moveToThread(&thread);
  thread.start();
}

QualityPoll::~QualityPoll() {
  thread.quit();
  thread.wait();
  delete worker;
}

void QualityPoll::Ask() {
  if (asking.exchange(true)) return;
  QMetaObject::invokeMethod(worker, [this] {
    const ControlReply reply = SendControlRequest(static_cast<quint16>(zv::ControlOperation::QueryQuality), {});
    asking = false;
    emit Answered(reply.ok, reply.replyText, reply.errorText);  // queued to the asker's thread
  });
}

#include "key_tool.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

QString KeyToolPath() {
#ifdef _WIN32
  return QCoreApplication::applicationDirPath() + "/orvekind.exe";
#else
  return QCoreApplication::applicationDirPath() + "/orvekind";
#endif
}

KeyToolRun RunKeyTool(const QString& program) {
  KeyToolRun run;
  QProcess tool;
  tool.start(program, {"keypair"}, QIODevice::ReadWrite);
  const bool finished = tool.waitForStarted(static_cast<int>(kKeyToolStartWait.count())) &&
                        tool.waitForFinished(static_cast<int>(kKeyToolFinishWait.count()));
  if (!finished) {
    if (tool.state() != QProcess::NotRunning) {  // too slow: it is not left behind
      tool.kill();
      tool.waitForFinished();
    }
    return run;
  }
  if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) return run;
  run.ran = true;
  const QJsonObject pair = QJsonDocument::fromJson(tool.readAllStandardOutput()).object();
  run.privateKey = pair.value("private_key").toString();
  run.publicKey = pair.value("public_key").toString();
  return run;
}

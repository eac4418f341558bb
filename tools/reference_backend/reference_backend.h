// The reference backend's HTTP API over its store, for zv-backend and, in
// process, for the client's tests: every answer follows the client's backend
// contract.
#pragma once

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QString>
#include <QThreadPool>
#include <memory>

#include "app_identity.h"
#include "backend_store.h"

// What the release check offers for Windows: by default the client's own version, so no update.
struct Release {
  QString version = zv::kApplicationVersion;
  QString downloadUrl = "https://downloads.zentravolk.com/Zentravolk-Setup.exe";
  QString sha256 = QString(64, '0');
  qint64 size = 1;
  QString path;  // the installer served here, if any
  QString fileName;
};

// Size and SHA-256 of the installer at `path`, into `release`; false with `error` set when it cannot be read.
bool DescribeInstaller(const QString& path, Release& release, QString& error);

// The client's own version with its last number one higher.
QString NextVersion();

class BackendRoutes;

// The API on a QHttpServer; the release it offers may be changed while it serves.
class ReferenceBackend {
 public:
  explicit ReferenceBackend(BackendStore& store);
  ~ReferenceBackend();
  void Route(QHttpServer& server);

  Release release;
  QString linuxVersion = NextVersion();

 private:
  std::unique_ptr<BackendRoutes> routes;
};

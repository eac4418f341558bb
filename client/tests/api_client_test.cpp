// ApiClient against a real HTTP server on loopback.
#include "api_client.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <functional>

#include "test_http_server.h"

namespace {

using zv::test::HttpAnswer;
using zv::test::HttpExchange;
using zv::test::TestHttpServer;

QJsonObject Json(const QByteArray& text) { return QJsonDocument::fromJson(text).object(); }

// One client against one server; the base URL carries a path prefix that the endpoints must replace.
struct Rig {
  explicit Rig(bool tls = false) : server(tls) {
    qputenv("VIRI_ZIVADADIVAZ_API_URL", server.Origin() + "/prefix/ignored");
    client = std::make_unique<ApiClient>();
  }
  // Runs the call and waits until the client has handled the server's answer.
  void Call(const std::function<void()>& call) {
    QSignalSpy finished(client->findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished);
    call();
    EXPECT_TRUE(finished.wait(5000)) << "no reply was handled";
  }
  void SignIn() {
    server.answer = [](const HttpExchange&) { return HttpAnswer{200, R"({"access_token":"tok","refresh_token":"r"})"}; };
    Call([&] { client->Login("me", "pw"); });
    ASSERT_TRUE(client->IsAuthenticated());
  }
  TestHttpServer server;
  std::unique_ptr<ApiClient> client;
};

TEST(ApiClient, RequestsGoOutAsTheBackendExpects) {
  Rig rig;
  const QString deviceId = rig.client->DeviceId();
  struct Row {
    const char* name;
    std::function<void(ApiClient&)> call;
    QByteArray method, target, authorization;  // "-": no Authorization header
    QByteArray body;                           // empty: no body, no Content-Type
  };
  const Row signedOut[] = {
      {"login", [](ApiClient& c) { c.Login("  me@example.com \t", " pass word ") ; }, "POST", "/api/v1/auth/login", "-",
       QJsonDocument(QJsonObject{{"account", "me@example.com"}, {"password", " pass word "}, {"device_id", deviceId}})
           .toJson(QJsonDocument::Compact)},
      {"regions while signed out", [](ApiClient& c) { c.LoadRegions("g1"); }, "GET", "/api/v1/games/g1/regions",
       "Bearer ", ""},
      {"release check", [](ApiClient& c) { c.CheckForUpdates(); }, "GET",
       "/api/v1/client/releases/latest?channel=alpha&platform=windows-x64", "-", ""},
  };
  const Row signedIn[] = {
      {"profile", [](ApiClient& c) { c.LoadProfile(); }, "GET", "/api/v1/me", "Bearer tok", ""},
      {"games", [](ApiClient& c) { c.LoadGames(); }, "GET", "/api/v1/games", "Bearer tok", ""},
      {"nodes", [](ApiClient& c) { c.LoadNodes("g 1", "r/2"); }, "GET", "/api/v1/games/g%201/regions/r/2/nodes",
       "Bearer tok", ""},
      {"create session", [](ApiClient& c) { c.CreateSession("g1", "r1", "n1", "PUBKEY=", 37); }, "POST",
       "/api/v1/acceleration/sessions", "Bearer tok",
       R"({"client_public_key":"PUBKEY=","game_id":"g1","preferred_node_id":"n1","probes":[{"jitter_ms":0,"loss_rate":0,"node_id":"n1","rtt_ms":37}],"region_id":"r1"})"},
      {"stop session", [](ApiClient& c) { c.StopSession("s-9"); }, "DELETE", "/api/v1/acceleration/sessions/s-9",
       "Bearer tok", ""},
  };
  const auto check = [&](const Row& row) {
    rig.server.received.clear();
    rig.Call([&] { row.call(*rig.client); });
    ASSERT_EQ(rig.server.received.size(), 1) << row.name;
    const HttpExchange& got = rig.server.received.first();
    EXPECT_EQ(got.method, row.method) << row.name;
    EXPECT_EQ(got.target, row.target) << row.name;
    EXPECT_EQ(got.headers.value("authorization", "-"), row.authorization) << row.name;
    EXPECT_EQ(got.body, row.body) << row.name;
    EXPECT_EQ(got.headers.value("content-type"), row.body.isEmpty() ? "" : "application/json") << row.name;
  };
  for (const Row& row : signedOut) check(row);
  rig.SignIn();
  for (const Row& row : signedIn) check(row);
}

TEST(ApiClient, OnlyTheExactStatusSucceedsAndOnlyStringMessagesAreShown) {
  struct Row {
    const char* name;
    std::function<void(ApiClient&)> call;
    HttpAnswer answer;
    const char* signal;  // the one signal expected
    QVariant argument;   // its last argument
  };
  const Row rows[] = {
      {"nodes 500 message", [](ApiClient& c) { c.LoadNodes("g", "r"); }, {500, R"({"message":"节点维护中"})"},
       "RequestFailed", "节点维护中"},
      {"numeric message", [](ApiClient& c) { c.LoadNodes("g", "r"); }, {500, R"({"message":5})"}, "RequestFailed",
       "读取加速节点失败"},
      {"nodes 200", [](ApiClient& c) { c.LoadNodes("g", "r"); }, {200, R"({"items":[{"id":"n"}]})"}, "NodesLoaded",
       QJsonArray{QJsonObject{{"id", "n"}}}},
      {"regions 201", [](ApiClient& c) { c.LoadRegions("g"); }, {201, R"({"items":[]})"}, "RequestFailed",
       "读取游戏区服失败"},
      {"games as a bare array", [](ApiClient& c) { c.LoadGames(); }, {200, "[]"}, "GamesLoaded", QJsonArray{}},
      {"games without items", [](ApiClient& c) { c.LoadGames(); }, {200, R"({"total":0})"}, "GamesLoaded", QJsonArray{}},
      {"session 200", [](ApiClient& c) { c.CreateSession("g", "r", "n", "k", 1); }, {200, "{}"},
       "AccelerationFailed", "创建加速会话失败"},
      {"session 201 empty", [](ApiClient& c) { c.CreateSession("g", "r", "n", "k", 1); }, {201, ""},
       "SessionCreated", QJsonObject{}},
      {"stop 204", [](ApiClient& c) { c.StopSession("s"); }, {204, ""}, "SessionStopped", {}},
      {"stop 200", [](ApiClient& c) { c.StopSession("s"); }, {200, R"({"ok":true})"}, "RequestFailed",
       "停止加速会话失败"},
      {"silent server times out", [](ApiClient& c) { c.LoadGames(); }, {200, "", true}, "RequestFailed",
       "读取游戏失败"},
  };
  for (const Row& row : rows) {
    Rig rig;
    rig.SignIn();
    rig.client->SetTimeouts(std::chrono::milliseconds(300), ApiClient::kDefaultDownloadIdleTimeout);
    rig.server.answer = [&](const HttpExchange&) { return row.answer; };
    QList<QVariantList> emitted;
    const QMetaObject& meta = ApiClient::staticMetaObject;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
      if (meta.method(i).methodType() == QMetaMethod::Signal) {
        spies.push_back(std::make_unique<QSignalSpy>(rig.client.get(), meta.method(i)));
      }
    }
    rig.Call([&] { row.call(*rig.client); });
    int count = 0;
    for (auto& spy : spies) {
      if (spy->isEmpty()) continue;
      ++count;
      EXPECT_EQ(QByteArray(spy->signal()).left(QByteArray(spy->signal()).indexOf('(')), row.signal) << row.name;
      if (row.argument.isValid()) {
        EXPECT_EQ(spy->first().value(spy->first().size() - 1), row.argument) << row.name;
      }
    }
    EXPECT_EQ(count, 1) << row.name;
  }
}

TEST(ApiClient, LoginStoresTokensBeforeCheckingThem) {
  struct Row {
    HttpAnswer answer;
    const char* failure;  // nullptr: LoginSucceeded
    bool authenticated;
  };
  const Row rows[] = {
      {{200, R"({"access_token":"a","refresh_token":"r"})"}, nullptr, true},
      {{200, R"({"access_token":"a","refresh_token":""})"}, "登录响应缺少 Token", true},
      {{200, R"({"access_token":7,"refresh_token":"r"})"}, "登录响应缺少 Token", false},
      {{401, ""}, "登录失败", false},
  };
  for (const Row& row : rows) {
    Rig rig;
    rig.server.answer = [&](const HttpExchange&) { return row.answer; };
    QSignalSpy succeeded(rig.client.get(), &ApiClient::LoginSucceeded);
    QSignalSpy failed(rig.client.get(), &ApiClient::RequestFailed);
    rig.Call([&] { rig.client->Login(" me ", "pw"); });
    if (row.failure) {
      ASSERT_EQ(failed.size(), 1);
      EXPECT_EQ(failed.first().first().toString(), row.failure);
    } else {
      ASSERT_EQ(succeeded.size(), 1);
      EXPECT_EQ(succeeded.first().first().toString(), "me");
    }
    EXPECT_EQ(rig.client->IsAuthenticated(), row.authenticated) << row.answer.body.constData();
  }

  Rig signedOut;
  QSignalSpy failed(signedOut.client.get(), &ApiClient::RequestFailed);
  signedOut.client->LoadProfile();
  signedOut.client->LoadGames();
  ASSERT_EQ(failed.size(), 2) << "at once, from inside the calls";
  EXPECT_EQ(failed[0].first().toString(), "请先登录");
  EXPECT_EQ(failed[1].first().toString(), "请先登录");
  QCoreApplication::processEvents();
  EXPECT_TRUE(signedOut.server.received.isEmpty());
}

TEST(ApiClient, OnlyANewerReleaseIsOffered) {
  const std::pair<HttpAnswer, bool> rows[] = {
      {{200, R"({"version":"0.4.1"})"}, true},          {{200, R"({"version":"0.4.0"})"}, false},
      {{200, R"({"version":"0.5.0-beta.2"})"}, true},
      {{200, R"({"version":"0.4.0.1-alpha"})"}, true},  {{200, R"({"version":"0.4.0.0"})"}, true},
      {{200, R"({"version":"v0.5.0"})"}, false},        {{200, R"({"version":"0.4.0-beta"})"}, false},
      {{200, R"({"version":"0.4.0-beta.1"})"}, true},  // the suffix goes, so its number joins: 0.4.0.1
      {{304, R"({"version":"9.0.0"})"}, false},
  };
  for (const auto& [answer, offered] : rows) {
    Rig rig;
    rig.server.answer = [&](const HttpExchange&) { return answer; };
    QSignalSpy available(rig.client.get(), &ApiClient::UpdateAvailable);
    rig.Call([&] { rig.client->CheckForUpdates(); });
    ASSERT_EQ(available.size(), offered ? 1 : 0) << answer.body.constData() << " " << answer.status;
    if (offered) {
      EXPECT_EQ(available.first().first().toString(), Json(answer.body).value("version").toString());
    }
  }

  Rig rig;
  rig.server.answer = [](const HttpExchange&) {
    return HttpAnswer{200, R"({"version":"1.0.0","download_url":"https://dl.example/s.exe","release_notes":"新",)"
                           R"("mandatory":true,"sha256":"ab","size_bytes":5000000000})"};
  };
  QSignalSpy available(rig.client.get(), &ApiClient::UpdateAvailable);
  rig.Call([&] { rig.client->CheckForUpdates(); });
  ASSERT_EQ(available.size(), 1);
  EXPECT_EQ(available.first(), (QVariantList{"1.0.0", QUrl("https://dl.example/s.exe"), "新", true, "ab",
                                             qlonglong{5000000000}}));
}

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp.isValid());
    qputenv("TMPDIR", temp.path().toUtf8());
    zv::test::TrustTestCertificate();
  }
  QTemporaryDir temp;
};

TEST_F(Download, OnlyTheAnnouncedBytesAreSaved) {
  const QByteArray installer(4096, 'z');
  const QString digest = QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex();
  const QString path = ApiClient::InstallerPath();
  ASSERT_TRUE(path.startsWith(temp.path() + "/Zentravolk/"));
  QDir().mkpath(QFileInfo(path).path());
  QFile earlier(path);
  ASSERT_TRUE(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier") == 7);
  earlier.close();

  struct Row {
    const char* name;
    HttpAnswer answer;
    QString sha256;
    qlonglong size;
    QString failure;  // empty: saved
  };
  const QString wrongDigest(64, 'a');
  const Row rows[] = {
      {"wrong digest", {200, installer}, wrongDigest, 4096, "更新文件校验失败，已停止安装"},
      {"one byte short", {200, installer.left(4095)}, digest, 4096, "更新下载失败："},
      {"longer than announced", {200, installer + QByteArray(1 << 20, 'x')}, digest, 4096,
       "更新下载失败：下载内容超过声明的大小"},
      {"not found", {404, installer}, digest, 4096, "更新下载失败："},
      {"silent", {200, "", true}, digest, 4096, "更新下载失败："},
      {"upper-case digest", {200, installer}, digest.toUpper(), 4096, ""},
  };
  for (const Row& row : rows) {
    Rig rig(/*tls=*/true);
    rig.client->SetTimeouts(ApiClient::kDefaultCallTimeout, std::chrono::milliseconds(500));
    rig.server.answer = [&](const HttpExchange&) { return row.answer; };
    QSignalSpy saved(rig.client.get(), &ApiClient::UpdateDownloaded);
    QSignalSpy failed(rig.client.get(), &ApiClient::UpdateDownloadFailed);
    QSignalSpy progress(rig.client.get(), &ApiClient::UpdateDownloadProgress);
    rig.Call([&] { rig.client->DownloadUpdate(QUrl(rig.server.Origin() + "/setup.exe"), row.sha256, row.size); });
    EXPECT_EQ(rig.server.received.value(0).headers.value("authorization", "-"), "-") << row.name;
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    if (row.failure.isEmpty()) {
      ASSERT_EQ(saved.size(), 1) << row.name << " " << failed.value(0).value(0).toString().toStdString();
      EXPECT_EQ(saved.first().first().toString(), path);
      EXPECT_EQ(file.readAll(), installer);
      ASSERT_FALSE(progress.isEmpty());
      EXPECT_EQ(progress.last(), (QVariantList{qlonglong{4096}, qlonglong{4096}}));
    } else {
      ASSERT_EQ(failed.size(), 1) << row.name;
      EXPECT_TRUE(failed.first().first().toString().startsWith(row.failure)) << row.name;
      EXPECT_EQ(file.readAll(), "earlier") << row.name << ": an earlier installer survives";
    }
  }
}

TEST_F(Download, RefusedArgumentsFailAtOnceAndSavingFailuresAreNamed) {
  Rig rig(/*tls=*/true);
  QSignalSpy failed(rig.client.get(), &ApiClient::UpdateDownloadFailed);
  const QString digest(64, 'a');
  const QUrl https(rig.server.Origin() + "/setup.exe");
  rig.client->DownloadUpdate(QUrl(), digest, 1);
  rig.client->DownloadUpdate(QUrl("http://127.0.0.1/setup.exe"), digest, 1);
  rig.client->DownloadUpdate(https, QString(63, 'a'), 1);
  rig.client->DownloadUpdate(https, digest, 0);
  ASSERT_EQ(failed.size(), 4);
  for (const QVariantList& failure : failed) EXPECT_EQ(failure.first().toString(), "更新信息不完整");
  QCoreApplication::processEvents();
  EXPECT_TRUE(rig.server.received.isEmpty());

  const QByteArray installer = "setup";
  const QString sha = QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex();
  rig.server.answer = [&](const HttpExchange&) { return HttpAnswer{200, installer}; };
  const QString folder = temp.path() + "/Zentravolk";
  struct Row {
    std::function<void()> block;
    const char* failure;
  };
  const Row rows[] = {
      {[&] { QFile(folder).open(QIODevice::WriteOnly); }, "无法创建更新临时目录"},
      {[&] {
         QFile::remove(folder);
         QDir().mkpath(ApiClient::InstallerPath());  // a folder where the file should go
       },
       "无法保存更新安装程序"},
  };
  for (const Row& row : rows) {
    row.block();
    failed.clear();
    rig.Call([&] { rig.client->DownloadUpdate(https, sha, installer.size()); });
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed.first().first().toString(), row.failure);
  }
}

TEST(DeviceId, MadeOnceAndKeptAsStored) {
  QSettings().remove("device/id");
  const QString made = ApiClient().DeviceId();
  EXPECT_TRUE(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
                  .match(made)
                  .hasMatch())
      << made.toStdString();
  EXPECT_EQ(ApiClient().DeviceId(), made) << "kept across instances";
  QSettings().setValue("device/id", "copied from another PC");
  EXPECT_EQ(ApiClient().DeviceId(), "copied from another PC");
  QSettings().remove("device/id");
  EXPECT_NE(ApiClient().DeviceId(), made);
}

}  // namespace


// ApiClient against a real HTTP server on loopback.
#include "api_client.h"

#include <sys/stat.h>
#include <unistd.h>

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
#include <optional>

#include "test_http_server.h"
#include "window_driving.h"

namespace {

using zv::test::HttpAnswer;
using zv::test::HttpExchange;
using zv::test::TestHttpServer;
using Call = std::function<void(ApiClient&)>;

// One client against one server; the base URL carries a path prefix that the endpoints must replace.
struct Rig {
  explicit Rig(bool tls = false) : server(tls) {
    qputenv("VIRI_ZIVADADIVAZ_API_URL", server.Origin() + "/prefix/ignored");
    client = std::make_unique<ApiClient>();
  }
  // Runs the call and waits until the client has handled the server's answer.
  void Send(const std::function<void()>& call) {
    QSignalSpy finished(client->findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished);
    call();
    EXPECT_TRUE(finished.wait(5000)) << "no reply was handled";
  }
  void SignIn() {
    server.answer = [](const HttpExchange&) { return HttpAnswer{200, R"({"access_token":"tok","refresh_token":"r"})"}; };
    Send([&] { client->Login("me", "pw"); });
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
    Call call;
    QByteArray method, target, authorization;  // "-": no Authorization header
    QByteArray body;                           // empty: no body, no Content-Type
  };
  const Row rows[] = {
      {"login", [](ApiClient& c) { c.Login("  me@example.com \t", " pass word "); }, "POST", "/api/v1/auth/login", "-",
       QJsonDocument(QJsonObject{{"account", "me@example.com"}, {"password", " pass word "}, {"device_id", deviceId}})
           .toJson(QJsonDocument::Compact)},
      {"regions while signed out", [](ApiClient& c) { c.LoadRegions("g1"); }, "GET", "/api/v1/games/g1/regions",
       "Bearer ", ""},
      {"release check", [](ApiClient& c) { c.CheckForUpdates(); }, "GET",
       "/api/v1/client/releases/latest?channel=alpha&platform=linux-x64", "-", ""},  // the Linux client's own
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
  for (const Row& row : rows) {
    if (row.authorization == "Bearer tok" && !rig.client->IsAuthenticated()) rig.SignIn();
    rig.server.received.clear();
    rig.Send([&] { row.call(*rig.client); });
    ASSERT_EQ(rig.server.received.size(), 1) << row.name;
    const HttpExchange& got = rig.server.received.first();
    EXPECT_EQ(std::tuple(got.method + " " + got.target, got.headers.value("authorization", "-"), got.body),
              std::tuple(row.method + " " + row.target, row.authorization, row.body)) << row.name;
    EXPECT_EQ(got.headers.value("content-type"), row.body.isEmpty() ? "" : "application/json") << row.name;
  }
}

// Exactly one signal per call, and only the exact success status succeeds.
TEST(ApiClient, EachReplyEndsInItsOneSignal) {
  const HttpAnswer stalled{200, R"({"items":[{"id":"n"}],"message":"late"})", false, 0, 10};
  struct Row {
    const char* name;
    bool signedIn;
    Call call;
    HttpAnswer answer;
    const char* signal;
    QVariant argument;                   // its last argument, when given
    std::optional<bool> authenticated;  // afterwards, when it matters
    bool sent = true;
  };
  const auto games = [](ApiClient& c) { c.LoadGames(); };
  const auto nodes = [](ApiClient& c) { c.LoadNodes("g", "r"); };
  const auto login = [](ApiClient& c) { c.Login(" me ", "pw"); };
  const auto create = [](ApiClient& c) { c.CreateSession("g", "r", "n", "k", 1); };
  const auto stop = [](ApiClient& c) { c.StopSession("s"); };
  const QString unreachable = "：无法连接到服务器，请检查网络";
  const Row rows[] = {
      {"nodes 500 message", true, nodes, {500, R"({"message":"节点维护中"})"}, "AccelerationFailed", "节点维护中"},
      {"numeric message", true, nodes, {500, R"({"message":5})"}, "AccelerationFailed", "读取加速节点失败"},
      {"nodes 200", true, nodes, {200, R"({"items":[{"id":"n"}]})"}, "NodesLoaded", QJsonArray{QJsonObject{{"id", "n"}}}},
      {"regions 201", true, [](ApiClient& c) { c.LoadRegions("g"); }, {201, R"({"items":[]})"}, "RequestFailed",
       "读取游戏区服失败"},
      {"games as a bare array", true, games, {200, "[]"}, "GamesLoaded", QJsonArray{}},
      {"games without items", true, games, {200, R"({"total":0})"}, "GamesLoaded", QJsonArray{}},
      {"session 200", true, create, {200, "{}"}, "AccelerationFailed", "创建加速会话失败"},
      {"session 201 empty", true, create, {201, ""}, "SessionCreated", QJsonObject{}},
      {"stop 204", true, stop, {204, ""}, "SessionStopped", {}},
      {"stop 200", true, stop, {200, R"({"ok":true})"}, "SessionStopFailed", "停止加速会话失败"},
      // No answer at all: the call's own text, and that the network is the cause.
      {"silent server", true, games, {200, "", true}, "RequestFailed", "读取游戏失败" + unreachable},
      // Ended by our own time-out after the status line came: a failure, whatever it said.
      {"login stalls", false, login, stalled, "RequestFailed", "登录失败" + unreachable, false},
      {"profile stalls", true, [](ApiClient& c) { c.LoadProfile(); }, stalled, "RequestFailed",
       "读取会员信息失败" + unreachable},
      {"regions stall", true, [](ApiClient& c) { c.LoadRegions("g"); }, stalled, "RequestFailed",
       "读取游戏区服失败" + unreachable},
      {"session stalls", true, create, {201, R"({"session_id":"s1"})", false, 0, 5}, "AccelerationFailed",
       "创建加速会话失败" + unreachable},
      // A session ended later answers with its id, gone when the backend no longer holds it.
      {"retired", true, [](ApiClient& c) { c.RetireSession("s"); }, {204, ""}, "SessionRetired", true},
      {"retired before", true, [](ApiClient& c) { c.RetireSession("s"); }, {404, R"({"message":"x"})"},
       "SessionRetired", true},
      {"not retired", true, [](ApiClient& c) { c.RetireSession("s"); }, {500, ""}, "SessionRetired", false},
      // Tokens are stored before they are checked.
      {"login", false, login, {200, R"({"access_token":"a","refresh_token":"r"})"}, "LoginSucceeded", "me", true},
      {"no refresh token", false, login, {200, R"({"access_token":"a","refresh_token":""})"}, "RequestFailed",
       "登录响应缺少 Token", true},
      {"numeric token", false, login, {200, R"({"access_token":7,"refresh_token":"r"})"}, "RequestFailed",
       "登录响应缺少 Token", false},
      {"login 401", false, login, {401, ""}, "RequestFailed", "登录失败", false},
      {"profile signed out", false, [](ApiClient& c) { c.LoadProfile(); }, {}, "RequestFailed", "请先登录", {}, false},
      {"games signed out", false, games, {}, "RequestFailed", "请先登录", {}, false},
  };
  for (const Row& row : rows) {
    Rig rig;
    if (row.signedIn) rig.SignIn();
    rig.server.received.clear();
    rig.client->SetTimeouts(std::chrono::milliseconds(300), ApiClient::kDefaultDownloadIdleTimeout);
    rig.server.answer = [&](const HttpExchange&) { return row.answer; };
    const QMetaObject& meta = ApiClient::staticMetaObject;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
      if (meta.method(i).methodType() == QMetaMethod::Signal) {
        spies.push_back(std::make_unique<QSignalSpy>(rig.client.get(), meta.method(i)));
      }
    }
    if (row.sent) rig.Send([&] { row.call(*rig.client); });
    else row.call(*rig.client);  // refused at once, from inside the call
    QStringList emitted;
    for (auto& spy : spies) {
      if (spy->isEmpty()) continue;
      emitted << QByteArray(spy->signal()).left(QByteArray(spy->signal()).indexOf('('));
      if (row.argument.isValid()) {
        EXPECT_EQ(spy->first().value(spy->first().size() - 1), row.argument) << row.name;
      }
    }
    EXPECT_EQ(emitted, QStringList{row.signal}) << row.name;
    if (row.authenticated) {
      EXPECT_EQ(rig.client->IsAuthenticated(), *row.authenticated) << row.name;
    }
    if (!row.sent) {
      QCoreApplication::processEvents();
      EXPECT_TRUE(rig.server.received.isEmpty()) << row.name;
    }
  }
}

// The offer carries what the backend announced; a release without the rest is offered with nothing else.
TEST(ApiClient, OnlyANewerReleaseIsOffered) {
  const auto bare = [](const char* version) { return QVariantList{version, QUrl(), "", false, "", qlonglong{0}}; };
  const std::pair<HttpAnswer, QVariantList> rows[] = {
      {{200, R"({"version":"0.4.1"})"}, bare("0.4.1")}, {{200, R"({"version":"0.4.0"})"}, {}},
      {{200, R"({"version":"0.5.0-beta.2"})"}, bare("0.5.0-beta.2")}, {{200, R"({"version":"v0.5.0"})"}, {}},
      {{200, R"({"version":"0.4.0.1-alpha"})"}, bare("0.4.0.1-alpha")}, {{200, R"({"version":"0.4.0-beta"})"}, {}},
      {{200, R"({"version":"0.4.0.0"})"}, bare("0.4.0.0")}, {{304, R"({"version":"9.0.0"})"}, {}},
      {{200, R"({"version":"0.4.0-beta.1"})"}, bare("0.4.0-beta.1")},  // the suffix goes, so its number joins: 0.4.0.1
      {{200, R"({"version":"9.0.0"})", false, 0, 5}, {}},                // cut off by the time-out
      {{200, R"({"version":"1.0.0","download_url":"https://dl.example/s.exe","release_notes":"新",)"
             R"("mandatory":true,"sha256":"ab","size_bytes":5000000000})"},
       {"1.0.0", QUrl("https://dl.example/s.exe"), "新", true, "ab", qlonglong{5000000000}}},
  };
  for (const auto& [answer, offer] : rows) {
    Rig rig;
    rig.client->SetTimeouts(std::chrono::milliseconds(300), ApiClient::kDefaultDownloadIdleTimeout);
    rig.server.answer = [&](const HttpExchange&) { return answer; };
    QSignalSpy available(rig.client.get(), &ApiClient::UpdateAvailable);
    rig.Send([&] { rig.client->CheckForUpdates(); });
    EXPECT_EQ(available, offer.isEmpty() ? QList<QVariantList>() : QList<QVariantList>{offer})
        << answer.body.constData() << " " << answer.status;
  }
}

int Mode(const QString& path) {
  struct stat info {};
  return stat(QFile::encodeName(path).constData(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

// The installer is hashed and written as it arrives, into a folder and a file
// only the user can write; only a verified download replaces the installer,
// and a failure leaves nothing behind.
TEST(Download, OnlyTheAnnouncedBytesAreSavedWhereOnlyTheUserCanWrite) {
  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  zv::test::TrustTestCertificate();
  const QByteArray installer(4096, 'z');
  const QString digest = QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex();
  const QString path = ApiClient::InstallerPath(), folder = QFileInfo(path).path();
  ASSERT_EQ(folder, runtime.path() + "/Zentravolk");
  const auto earlier = [&](int mode) {
    QDir().mkpath(folder);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("earlier");
    file.close();
    chmod(QFile::encodeName(folder).constData(), mode);
  };
  struct Row {
    const char* name;
    HttpAnswer answer;
    QString sha256;
    QString failure;  // empty: saved
    std::function<void()> spoil = {};
    qsizetype partial = 0;  // bytes seen in a temporary file while the server stalls
  };
  const Row rows[] = {
      {"wrong digest", {200, installer}, QString(64, 'a'), "更新文件校验失败，已停止安装"},
      {"one byte short", {200, installer.left(4095)}, digest, "更新下载失败："},
      {"longer than announced", {200, installer + QByteArray(1 << 20, 'x')}, digest,
       "更新下载失败：下载内容超过声明的大小"},
      {"not found", {404, installer}, digest, "更新下载失败："},
      {"stalls midway", {200, installer, false, 0, 1000}, digest, "更新下载失败：", {}, 1000},
      {"a folder the group may read", {200, installer}, digest, "无法创建更新临时目录", [&] { earlier(0750); }},
      {"a folder of another user", {200, installer}, digest, "无法创建更新临时目录",
       [&] { EXPECT_EQ(chown(QFile::encodeName(folder).constData(), 65534, 65534), 0); }},
      {"a folder at the file's name", {200, installer}, digest, "无法保存更新安装程序",
       [&] { QFile::remove(path), QDir().mkpath(path); }},
      {"upper-case digest", {200, installer}, digest.toUpper(), ""},
  };
  for (const Row& row : rows) {
    QDir(folder).removeRecursively();
    earlier(0700);
    if (row.spoil) row.spoil();
    Rig rig(/*tls=*/true);
    rig.client->SetTimeouts(ApiClient::kDefaultCallTimeout, std::chrono::milliseconds(500));
    rig.server.answer = [&](const HttpExchange&) { return row.answer; };
    QSignalSpy saved(rig.client.get(), &ApiClient::UpdateDownloaded);
    QSignalSpy failed(rig.client.get(), &ApiClient::UpdateDownloadFailed);
    rig.client->DownloadUpdate(QUrl(rig.server.Origin() + "/setup.exe"), row.sha256, installer.size());
    if (row.partial > 0) {
      // The temporary file may have no name in the folder (O_TMPFILE): it is found among our open files.
      EXPECT_TRUE(zv::test::WaitFor([&] {
        for (const QFileInfo& open : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files)) {
          if (open.symLinkTarget().startsWith(folder + "/") && open.size() == row.partial) return true;
        }
        return false;
      })) << "written as it arrives";
    }
    ASSERT_TRUE(zv::test::WaitFor([&] { return saved.size() + failed.size() > 0; })) << row.name;
    EXPECT_EQ(rig.server.received.value(0).headers.value("authorization", "-"), "-") << row.name;
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    if (row.failure.isEmpty()) {
      ASSERT_EQ(saved.size(), 1) << row.name << " " << failed.value(0).value(0).toString().toStdString();
      EXPECT_EQ(saved.first().first().toString(), path);
      EXPECT_EQ(file.readAll(), installer);
      EXPECT_EQ(Mode(path), 0700) << "only the user may write it";
      EXPECT_EQ(Mode(folder), 0700);
    } else {
      ASSERT_EQ(failed.size(), 1) << row.name;
      EXPECT_TRUE(failed.first().first().toString().startsWith(row.failure)) << row.name;
      if (!row.spoil) {
        EXPECT_EQ(file.readAll(), "earlier") << row.name << ": an earlier installer survives";
      }
    }
    const QStringList left = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    EXPECT_EQ(left, QStringList{"Zentravolk-Update-Setup.exe"}) << row.name << ": nothing else is left";
  }

  Rig rig(/*tls=*/true);
  QSignalSpy failed(rig.client.get(), &ApiClient::UpdateDownloadFailed);
  const QUrl https(rig.server.Origin() + "/setup.exe");
  rig.client->DownloadUpdate(QUrl(), digest, 1);
  rig.client->DownloadUpdate(QUrl("http://127.0.0.1/setup.exe"), digest, 1);
  rig.client->DownloadUpdate(https, QString(63, 'a'), 1);
  rig.client->DownloadUpdate(https, digest, 0);
  ASSERT_EQ(failed.size(), 4);
  for (const QVariantList& failure : failed) EXPECT_EQ(failure.first().toString(), "更新信息不完整");
  QCoreApplication::processEvents();
  EXPECT_TRUE(rig.server.received.isEmpty());
}

TEST(DeviceId, MadeOnceAndKeptAsStored) {
  QSettings().remove("device/id");
  const QString made = ApiClient().DeviceId();
  const QRegularExpression uuid4("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  EXPECT_TRUE(uuid4.match(made).hasMatch()) << made.toStdString();
  EXPECT_EQ(ApiClient().DeviceId(), made) << "kept across instances";
  QSettings().setValue("device/id", "copied from another PC");
  EXPECT_EQ(ApiClient().DeviceId(), "copied from another PC");
  QSettings().remove("device/id");
  EXPECT_NE(ApiClient().DeviceId(), made);
}

}  // namespace

// ApiClient against the reference backend, run in process, whose answers a row may script.
#include "api_client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <optional>

#include "window_rig.h"

namespace {

using namespace zv::test;
using Call = std::function<void(ApiClient&)>;

// One client against the backend; the base URL carries a path prefix that the endpoints must replace.
struct Rig {
  explicit Rig(bool tls = false) : backend(tls) {
    qputenv("VIRI_ZIVADADIVAZ_API_URL", backend.origin + "/prefix/ignored");
    client = std::make_unique<ApiClient>();
    client->SetTimeouts(std::chrono::milliseconds(1500), std::chrono::milliseconds(500));
  }
  // Runs the call and waits until the client has handled the backend's answer.
  void Send(const std::function<void()>& call) {
    QSignalSpy finished(client->findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished);
    call();
    EXPECT_TRUE(finished.wait(5000)) << "no reply was handled";
  }
  void SignIn() {
    Send([&] { client->Login(BackendStore::kDemoAccount, BackendStore::kDemoPassword); });
    ASSERT_TRUE(client->IsAuthenticated());
  }
  // The signals the call emitted, in declaration order, each with its last argument.
  std::string Emitted(const Call& call, bool sent = true) {
    const QMetaObject& meta = ApiClient::staticMetaObject;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
      if (meta.method(i).methodType() == QMetaMethod::Signal) {
        spies.push_back(std::make_unique<QSignalSpy>(client.get(), meta.method(i)));
      }
    }
    if (sent) Send([&] { call(*client); });
    else call(*client);
    QStringList emitted;
    for (auto& spy : spies) {
      if (spy->isEmpty()) continue;
      const QVariant last = spy->first().value(spy->first().size() - 1);
      emitted << QString(spy->signal()).section('(', 0, 0) + ":" +
                     (last.canConvert<QString>() ? last.toString() : QString::number(last.toJsonArray().size()));
    }
    return emitted.join(" | ").toStdString();
  }
  Backend backend;
  std::unique_ptr<ApiClient> client;
};

// Every endpoint: the request as the backend expects it, then the same kinds of
// answer: only its exact success status succeeds; a failure carries the body's
// string "message" or the call's own text; a success cut off mid-body, or no
// answer at all, is a failure too.
TEST(ApiClient, EachRequestAndEachReplyAsAgreed) {
  const QByteArray probe = R"("probes":[{"jitter_ms":0,"loss_rate":0,"node_id":"n1","rtt_ms":37}])";
  const struct {
    const char* request;  // as sent, and the answers' script
    Call call;
    QByteArray body;      // sent; empty: none, and no Content-Type
    int success;
    QByteArray answer;    // of a success
    QString succeeded, failed, text;
  } endpoints[] = {
      {"POST /api/v1/auth/login", [](ApiClient& c) { c.Login("  me@example.com \t", " pass word "); }, "login", 200,
       R"({"access_token":"a","refresh_token":"r"})", "LoginSucceeded:me@example.com", "RequestFailed", "登录失败"},
      {"GET /api/v1/me", [](ApiClient& c) { c.LoadProfile(); }, "", 200, "{}", "ProfileLoaded:0", "RequestFailed",
       "读取会员信息失败"},
      {"GET /api/v1/games", [](ApiClient& c) { c.LoadGames(); }, "", 200, R"({"items":[{"id":"g"}]})", "GamesLoaded:1",
       "RequestFailed", "读取游戏失败"},
      {"GET /api/v1/games/g1/regions", [](ApiClient& c) { c.LoadRegions("g1"); }, "", 200, R"({"items":[]})",
       "RegionsLoaded:0", "RequestFailed", "读取游戏区服失败"},
      {"GET /api/v1/games/g%201/regions/r/2/nodes", [](ApiClient& c) { c.LoadNodes("g 1", "r/2"); }, "", 200,
       R"({"items":[{"id":"n"}]})", "NodesLoaded:1", "RequestFailed|NodesFailed", "读取加速节点失败"},
      {"POST /api/v1/acceleration/sessions", [](ApiClient& c) { c.CreateSession("g1", "r1", "n1", "PUBKEY=", 37); },
       R"({"client_public_key":"PUBKEY=","game_id":"g1","preferred_node_id":"n1",)" + probe + R"(,"region_id":"r1"})",
       201, "", "SessionCreated:0", "AccelerationFailed", "创建加速会话失败"},
      {"DELETE /api/v1/acceleration/sessions/s-9", [](ApiClient& c) { c.StopSession("s-9"); }, "", 204, "",
       "SessionStopped:0", "RequestFailed|SessionStopFailed", "停止加速会话失败"},
  };
  for (const auto& endpoint : endpoints) {
    Rig rig;
    const bool login = endpoint.succeeded.startsWith("Login");
    if (!login) rig.SignIn();
    const int wrong = endpoint.success == 200 ? 201 : 200;
    const struct {
      Scripted answer;
      QString text;  // empty: succeeded
    } kinds[] = {
        {{endpoint.success, endpoint.answer}, ""},
        {{500, R"({"message":"维护中"})"}, "维护中"},
        {{500, "<html>busy</html>"}, endpoint.text},
        {{500, R"({"message":5})"}, endpoint.text},
        {{wrong, R"({"message":"不是这个状态"})"}, "不是这个状态"},
        {{endpoint.success, endpoint.answer + "{\"padding\":true}", 0, false, 3}, endpoint.text},  // cut off
        {{endpoint.success, endpoint.answer, 0, true}, endpoint.text + (login ? "：无法连接到服务器，请检查网络" : "")},
    };
    for (const auto& kind : kinds) {
      if (kind.answer.cutAfter >= 0 && endpoint.success == 204) continue;  // no body to cut
      rig.backend.scripts = {{endpoint.request, kind.answer}};
      rig.backend.received.clear();
      QStringList expected{endpoint.succeeded};
      if (!kind.text.isEmpty()) {
        expected.clear();
        for (const QString& signal : endpoint.failed.split('|')) expected << signal + ":" + kind.text;
        if (endpoint.failed.endsWith("NodesFailed")) expected.last() = "NodesFailed:0";
      }
      EXPECT_EQ(rig.Emitted(endpoint.call), expected.join(" | ").toStdString()) << endpoint.request << kind.answer.status;
      const Exchange got = rig.backend.received.value(0);
      const QByteArray body = endpoint.body == "login" ? QJsonDocument(QJsonObject{{"account", "me@example.com"},
          {"password", " pass word "}, {"device_id", rig.client->DeviceId()}}).toJson(QJsonDocument::Compact) : endpoint.body;
      EXPECT_EQ(std::tuple(got.method + " " + got.target, got.body, got.headers.value("content-type")),
                std::tuple(QByteArray(endpoint.request), body, body.isEmpty() ? "" : "application/json"));
      EXPECT_TRUE(QRegularExpression(login ? "^-$" : "^Bearer [0-9a-f]{64}$").match(got.headers.value("authorization", "-")).hasMatch());
    }
  }
}

// What the sign-in stores, and the calls that refuse at once or answer on their own.
TEST(ApiClient, TokensAndTheirOwnAnswers) {
  const auto login = [](ApiClient& c) { c.Login(" me ", "pw"); };
  const auto retire = [](ApiClient& c) { c.RetireSession("s"); };
  const struct {
    Call call;
    std::optional<Scripted> answer;  // none: the call sends nothing
    QString emitted;
    bool authenticated;
  } rows[] = {
      // Tokens are stored before they are checked.
      {login, Scripted{200, R"({"access_token":7,"refresh_token":"r"})"}, "RequestFailed:登录响应缺少 Token", false},
      {login, Scripted{200, R"({"access_token":"a","refresh_token":""})"}, "RequestFailed:登录响应缺少 Token", true},
      {[](ApiClient& c) { c.ClearTokens(), c.LoadProfile(); }, std::nullopt, "RequestFailed:请先登录", false},
      {[](ApiClient& c) { c.LoadGames(); }, std::nullopt, "RequestFailed:请先登录", false},
      // A session ended later answers with its id, gone when the backend no longer holds it.
      {retire, Scripted{204, ""}, "SessionRetired:true", false},
      {retire, Scripted{404, R"({"message":"x"})"}, "SessionRetired:true", false},
      {retire, Scripted{500, ""}, "SessionRetired:false", false},
  };
  Rig rig;
  for (const auto& row : rows) {
    rig.backend.received.clear();
    rig.backend.scripts = {{"", row.answer.value_or(Scripted{})}};
    EXPECT_EQ(rig.Emitted(row.call, row.answer.has_value()), row.emitted.toStdString());
    EXPECT_EQ(rig.client->IsAuthenticated(), row.authenticated) << row.emitted.toStdString();
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.backend.received.isEmpty(), !row.answer) << row.emitted.toStdString();
  }
  rig.Send([&] { rig.client->LoadRegions("g1"); });  // signed out, it is still sent
  EXPECT_EQ(rig.backend.received.last().headers.value("authorization"), "Bearer ");
}

// The offer carries what the backend announced; a release without the rest is offered with nothing else.
TEST(ApiClient, OnlyANewerReleaseIsOffered) {
  const auto bare = [](const char* version) { return QVariantList{version, QUrl(), "", false, "", qlonglong{0}}; };
  const std::pair<Scripted, QVariantList> rows[] = {
      {{200, R"({"version":"0.4.1"})"}, bare("0.4.1")}, {{200, R"({"version":"0.4.0"})"}, {}},
      {{200, R"({"version":"0.5.0-beta.2"})"}, bare("0.5.0-beta.2")}, {{200, R"({"version":"v0.5.0"})"}, {}},
      {{200, R"({"version":"0.4.0.1-alpha"})"}, bare("0.4.0.1-alpha")}, {{200, R"({"version":"0.4.0-beta"})"}, {}},
      {{200, R"({"version":"0.4.0.0"})"}, bare("0.4.0.0")}, {{304, R"({"version":"9.0.0"})"}, {}},
      {{200, R"({"version":"0.4.0-beta.1"})"}, bare("0.4.0-beta.1")},  // the suffix goes, so its number joins: 0.4.0.1
      {{200, R"({"version":"9.0.0"})", 0, false, 5}, {}},               // cut off
      {{200, R"({"version":"1.0.0","download_url":"https://dl.example/s.exe","release_notes":"新",)"
             R"("mandatory":true,"sha256":"ab","size_bytes":5000000000})"},
       {"1.0.0", QUrl("https://dl.example/s.exe"), "新", true, "ab", qlonglong{5000000000}}},
  };
  Rig rig;
  for (const auto& [answer, offer] : rows) {
    rig.backend.scripts = {{"GET /api/v1/client/releases/latest", answer}};
    QSignalSpy available(rig.client.get(), &ApiClient::UpdateAvailable);
    rig.Send([&] { rig.client->CheckForUpdates(); });
    EXPECT_EQ(available, offer.isEmpty() ? QList<QVariantList>() : QList<QVariantList>{offer}) << answer.body.data();
  }
  EXPECT_EQ(rig.backend.received.last().target, "/api/v1/client/releases/latest?channel=alpha&platform=linux-x64");
  EXPECT_FALSE(rig.backend.received.last().headers.contains("authorization"));
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
  TrustTestCertificate();
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
  const struct {
    Scripted answer;
    QString sha256;
    QString failure;  // empty: saved
    std::function<void()> spoil = {};
  } rows[] = {
      {{200, installer}, QString(64, 'a'), "更新文件校验失败，已停止安装"},
      {{200, installer.left(4095)}, digest, "更新下载失败："},
      {{200, installer + QByteArray(1 << 20, 'x')}, digest, "更新下载失败：下载内容超过声明的大小"},
      {{404, installer}, digest, "更新下载失败："},
      {{200, installer, 0, false, 1000, false}, digest, "更新下载失败："},  // stalls midway
      {{200, installer}, digest, "无法创建更新临时目录", [&] { earlier(0750); }},
      {{200, installer}, digest, "无法创建更新临时目录",
       [&] { EXPECT_EQ(chown(QFile::encodeName(folder).constData(), 65534, 65534), 0); }},
      {{200, installer}, digest, "无法保存更新安装程序", [&] { QFile::remove(path), QDir().mkpath(path); }},
      {{200, installer}, digest.toUpper(), ""},
  };
  Rig rig(/*tls=*/true);
  for (const auto& row : rows) {
    QDir(folder).removeRecursively();
    earlier(0700);
    if (row.spoil) row.spoil();
    rig.backend.scripts = {{"GET /setup.exe", row.answer}};
    QSignalSpy saved(rig.client.get(), &ApiClient::UpdateDownloaded);
    QSignalSpy failed(rig.client.get(), &ApiClient::UpdateDownloadFailed);
    rig.client->DownloadUpdate(QUrl(rig.backend.origin + "/setup.exe"), row.sha256, installer.size());
    if (row.answer.cutAfter > 0) {
      // The temporary file may have no name in the folder (O_TMPFILE): it is found among our open files.
      EXPECT_TRUE(WaitFor([&] {
        for (const QFileInfo& open : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files)) {
          if (open.symLinkTarget().startsWith(folder + "/") && open.size() == row.answer.cutAfter) return true;
        }
        return false;
      })) << "written as it arrives";
    }
    ASSERT_TRUE(WaitFor([&] { return saved.size() + failed.size() > 0; })) << row.failure.toStdString();
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    if (row.failure.isEmpty()) {
      ASSERT_EQ(saved.size(), 1) << failed.value(0).value(0).toString().toStdString();
      EXPECT_EQ(std::tuple(saved.first().first().toString(), file.readAll(), Mode(path), Mode(folder)),
                std::tuple(path, installer, 0700, 0700));
    } else {
      ASSERT_EQ(failed.size(), 1) << row.failure.toStdString();
      EXPECT_TRUE(failed.first().first().toString().startsWith(row.failure)) << row.failure.toStdString();
      if (!row.spoil) {
        EXPECT_EQ(file.readAll(), "earlier") << row.failure.toStdString() << ": an earlier installer survives";
      }
    }
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{"Zentravolk-Update-Setup.exe"}) << row.failure.toStdString() << ": nothing else is left";
  }
  EXPECT_EQ(rig.backend.Received("GET").value(0).headers.value("authorization", "-"), "-");
  rig.backend.received.clear();
  QSignalSpy failed(rig.client.get(), &ApiClient::UpdateDownloadFailed);
  const QUrl https(rig.backend.origin + "/setup.exe");
  rig.client->DownloadUpdate(QUrl(), digest, 1);
  rig.client->DownloadUpdate(QUrl("http://127.0.0.1/setup.exe"), digest, 1);
  rig.client->DownloadUpdate(https, QString(63, 'a'), 1);
  rig.client->DownloadUpdate(https, digest, 0);
  ASSERT_EQ(failed.size(), 4);
  for (const QVariantList& failure : failed) EXPECT_EQ(failure.first().toString(), "更新信息不完整");
  QCoreApplication::processEvents();
  EXPECT_TRUE(rig.backend.received.isEmpty());
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

// The client's Windows-facing code, run as a Windows program under wine: the
// registry, the user's temporary folder, schannel and the named pipe.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>

#include "api_client.h"
#include "control_client.h"
#include "key_tool.h"
#include "main_window.h"
#include "single_instance.h"
#include "stand_in_service.h"
#include "window_driving.h"

namespace {

QString RegistryText(const wchar_t* key, const wchar_t* value) {
  wchar_t text[256] = {};
  DWORD bytes = sizeof text;
  if (RegGetValueW(HKEY_CURRENT_USER, key, value, RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) return {};
  return QString::fromWCharArray(text);
}

TEST(WindowsClient, TheDeviceIdIsTheOneInTheUsersRegistry) {
  const QString made = ApiClient().DeviceId();
  EXPECT_EQ(made.size(), 36);
  EXPECT_EQ(RegistryText(L"Software\\ZENTRAVOLK COM LLC\\ZENTRAVOLK\\device", L"id"), made);
}

// The certificate of the loopback server (ZV_TLS_URL, started by the test's
// script) is signed by an authority of its own, which this test adds to the
// prefix's root store when ZV_TLS_TRUSTED is "yes", before any TLS is used (a
// process's chain engine reads the store once), and takes out again.
class TrustedForAWhile {
 public:
  explicit TrustedForAWhile(const QByteArray& der) : der(der) {}
  bool Add() {
    return CertAddEncodedCertificateToSystemStoreW(L"ROOT", reinterpret_cast<const BYTE*>(der.constData()),
                                                     static_cast<DWORD>(der.size()));
  }
  ~TrustedForAWhile() {
    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    const CERT_CONTEXT* ours = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.constData()), static_cast<DWORD>(der.size()));
    if (const CERT_CONTEXT* held = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ours, nullptr)) {
      CertDeleteCertificateFromStore(held);
    }
    CertFreeCertificateContext(ours);
    CertCloseStore(store, 0);
  }

 private:
  QByteArray der;
};

TEST(WindowsClient, TheInstallerComesOverSchannelIntoTheUsersTemporaryFolder) {
  const QUrl url(qEnvironmentVariable("ZV_TLS_URL"));
  ASSERT_TRUE(url.isValid()) << "the script serves the installer over TLS";
  QFile served(qEnvironmentVariable("ZV_TLS_FILE"));
  ASSERT_TRUE(served.open(QIODevice::ReadOnly));
  const QByteArray installer = served.readAll();
  const QString digest = QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex();
  QFile certificate(qEnvironmentVariable("ZV_TLS_CERTIFICATE_DER"));
  ASSERT_TRUE(certificate.open(QIODevice::ReadOnly));
  TrustedForAWhile trust(certificate.readAll());

  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  const QString expected = QDir::fromNativeSeparators(QString::fromWCharArray(temp)) + "Zentravolk/Zentravolk-Update-Setup.exe";
  EXPECT_EQ(QDir::cleanPath(ApiClient::InstallerPath()), QDir::cleanPath(expected));

  const bool trusted = qEnvironmentVariable("ZV_TLS_TRUSTED") == "yes";
  if (trusted) {
    ASSERT_TRUE(trust.Add());
  }
  ApiClient client;
  QSignalSpy saved(&client, &ApiClient::UpdateDownloaded);
  QSignalSpy failed(&client, &ApiClient::UpdateDownloadFailed);
  client.DownloadUpdate(url, digest, installer.size());
  ASSERT_TRUE(zv::test::WaitFor([&] { return saved.size() + failed.size() > 0; }, 20000));
  if (!trusted) {
    ASSERT_EQ(failed.size(), 1) << "an unknown authority is refused";
    EXPECT_TRUE(failed.first().first().toString().startsWith("更新下载失败：SSL"));
    return;
  }
  ASSERT_EQ(saved.size(), 1) << failed.value(0).value(0).toString().toStdString();
  QFile file(saved.first().first().toString());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), installer);
}

// The pipe's server is asked who it is before the first byte: one that is not
// the service the service manager runs (here: this test itself) hears nothing.
TEST(WindowsClient, APipeServerThatIsNotTheServiceGetsNotOneByte) {
  zv::test::StandInService standIn;
  for (const quint16 operation : {1, 2, 3}) {
    const ControlReply reply = SendControlRequest(operation, operation == 2 ? R"({"private_key":"k"})" : "");
    EXPECT_EQ(reply.errorText, "后台加速服务身份无效") << operation;
  }
  EXPECT_TRUE(standIn.Requests().isEmpty());
}

// The key tool beside the program: a stand-in, as wine's bcrypt has no X25519.
TEST(WindowsClient, TheKeyToolIsOrvekindExeBesideTheProgram) {
  EXPECT_EQ(KeyToolPath(), QCoreApplication::applicationDirPath() + "/orvekind.exe");
  const KeyToolRun run = RunKeyTool(KeyToolPath());
  EXPECT_TRUE(run.ran);
  EXPECT_EQ(run.privateKey + " " + run.publicKey, "STAND-IN-PRIVATE STAND-IN-PUBLIC");
}

// "启动游戏" opens steam://rungameid/... through the shell: the handler the
// registry names for the scheme (machine-wide, as Steam's installer puts it)
// is started with the address.
TEST(WindowsClient, SteamAddressesGoToTheSchemesRegisteredHandler) {
  const QString opened = QDir::toNativeSeparators(QDir::tempPath() + "/zv-opened-url.txt");
  QFile::remove(opened);
  const QString handler = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/url_handler.exe");
  HKEY scheme = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\steam", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &scheme, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(scheme, L"URL Protocol", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
  const std::wstring command = L"\"" + handler.toStdWString() + L"\" \"" + opened.toStdWString() + L"\" \"%1\"";
  RegSetKeyValueW(scheme, L"shell\\open\\command", nullptr, REG_SZ, command.c_str(),
                  static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(scheme);
  EXPECT_TRUE(QDesktopServices::openUrl(QUrl("steam://rungameid/730")));
  EXPECT_TRUE(zv::test::WaitFor([&] { return QFile(opened).size() > 0; }, 10000));
  QFile file(opened);
  file.open(QIODevice::ReadOnly);
  EXPECT_EQ(file.readAll(), "steam://rungameid/730");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\steam");
}

// The user's channel is a named pipe: a later client finds it and asks the first to show itself.
// The first answers from its own event loop, as the running client does.
TEST(WindowsClient, ALaterStartOfTheSameUserShowsTheRunningClient) {
  zv::test::FirstClient first([] { return new SingleInstance; });
  EXPECT_EQ(first.instance->Outcome(), SingleInstance::Start::First) << qPrintable(SingleInstance::UserChannel());
  EXPECT_EQ(SingleInstance().Outcome(), SingleInstance::Start::ShownOther);
  EXPECT_TRUE(first.shown);
}

}  // namespace

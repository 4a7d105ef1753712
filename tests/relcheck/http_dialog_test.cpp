// The dialog over the real HTTP client against loopback servers.
#include "relcheck/main.h"

#include "TlsTestServer.h"
#include "tests/relcheck/dialog_driver.h"
#include "support/http_server.h"
#include "support/loopback.h"
#include "support/testfs.h"
#include "support/offline_resolver.h"

#include <gtest/gtest.h>

#include <QEventLoop>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <unistd.h>

namespace chronark::relcheck {
namespace {

using namespace test;
using namespace std::chrono_literals;

std::string Ok(const std::string& Body) {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + Body;
}

class RelcheckOverHttp : public ::testing::Test {
protected:
  void SetUp() override {
    SetFetcherFactory([] { return CreateHttpFetcher(); });
  }
  void TearDown() override {
    EXPECT_TRUE(FDir.Entries().empty()) << "a temporary file was left";
    SetFetcherFactory({});
  }

  TOutcome Run(const std::string& URL, const std::string& Version = "1.0.2002.624") {
    Driver.Outcome = {};
    const auto V = Short(Version), S = Short("chronark"), U = Short(URL);
    ShowRelcheckDialog(0, V.data(), S.data(), U.data());
    return Driver.Outcome;
  }

  TTempDir FDir;
  TScopedEnv FTmpDir{"TMPDIR", FDir.Folder().c_str()};
  TDriver Driver;
};

const std::string VersionPath = "/software/version.txt";

// A server script that answers every request with Text and closes.
THttpTestServer::TScript Answer(std::string Text) {
  return [Text](TConn& C) { C.Send(Text); };
}

TEST_F(RelcheckOverHttp, NewerVersionAndTheExactRequest) {
  THttpTestServer Server(
      Answer(Ok("[chronark]\r\nVersion=1.0.2002.625\r\nName=Chronark\r\n"
                "Download=http://example.test/c.zip\r\nHomepage=http://example.test/\r\n")));
  TOutcome O = Run(Server.Url(VersionPath));
  EXPECT_EQ(O.Status, "Eine neue Version ist vorhanden!");
  EXPECT_EQ(O.NewVersion, "1.0.2002.625");
  EXPECT_EQ(O.AppName, "Chronark");
  for (const auto& [Name, Enabled] : O.Enabled) EXPECT_TRUE(Enabled) << Name;
  ASSERT_EQ(Server.Requests().size(), 1u);
  const std::string Request = Server.Requests()[0];
  EXPECT_EQ(Request.substr(0, Request.find("\r\n")), "GET /software/version.txt HTTP/1.0");
  EXPECT_NE(Request.find("\r\nUser-Agent: Online Relcheck\r\n"), std::string::npos) << Request;
  EXPECT_NE(
      Request.find("\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"),
      std::string::npos)
      << Request;
  EXPECT_EQ(Request.find("Mozilla"), std::string::npos);
}

TEST_F(RelcheckOverHttp, NotFoundShowsTheReasonPhrase) {
  THttpTestServer Server(
      Answer("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>weg</html>"));
  TOutcome O = Run(Server.Url(VersionPath));
  EXPECT_EQ(O.Status, "Fehler: \"Not Found\"");
  for (const auto& [Name, Enabled] : O.Enabled) EXPECT_FALSE(Enabled) << Name;
}

TEST_F(RelcheckOverHttp, RefusedPortIsAnError) {
  TOutcome O = Run("http://127.0.0.1:" + FreeLoopbackPort() + "/software/version.txt");
  EXPECT_TRUE(O.Status.startsWith("Fehler: \"")) << O.Status.toStdString();
  EXPECT_TRUE(O.Status.endsWith("\"")) << O.Status.toStdString();
}

TEST_F(RelcheckOverHttp, UnknownHostIsAnError) {
  TOutcome O = Run("http://no-such-host.example/software/version.txt");
  EXPECT_EQ(O.Status, "Fehler: \"can't resolve hostname to IP address\"");
  const auto Names = chronark::test::NamesLookedUp();
  EXPECT_NE(std::find(Names.begin(), Names.end(), "no-such-host.example"), Names.end());
}

TEST_F(RelcheckOverHttp, SilentServerEndsInBoundedTime) {
  SetFetcherFactory([] { return CreateHttpFetcher(300ms, 2s); });
  THttpTestServer Server([](TConn& C) { C.WaitForClientClose(); });
  const auto Start = std::chrono::steady_clock::now();
  TOutcome O = Run(Server.Url(VersionPath));
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 10s);
  EXPECT_TRUE(O.Status.startsWith("Fehler: \"")) << O.Status.toStdString();
}

// The host program ends (its close sequence calls QCoreApplication::exit, as
// at SIGTERM) while the check waits on a server that never answers: the
// check is aborted at once instead of after the client's 30 s idle timeout,
// its temporary file is deleted and the export returns.
TEST_F(RelcheckOverHttp, HostEndingAbortsAWaitingCheck) {
  THttpTestServer Server([](TConn& C) { C.WaitForClientClose(); });
  Driver.OnStatus = [](const QString& Text) {
    if (Text == "Empfange Versionsinformationen...")
      QTimer::singleShot(200, [] { QCoreApplication::exit(0); });
  };
  bool Returned = false;
  const auto Start = std::chrono::steady_clock::now();
  QTimer::singleShot(0, [&] {
    Run(Server.Url(VersionPath));
    Returned = true;
  });
  QCoreApplication::exec();
  EXPECT_TRUE(Returned);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 5s);
  ASSERT_FALSE(Driver.Outcome.Statuses.empty());
  EXPECT_EQ(Driver.Outcome.Statuses.back().toStdString(), "Fehler: \"Operation aborted\"");
}

TEST_F(RelcheckOverHttp, OversizedDocumentIsRefused) {
  THttpTestServer Server(
      Answer(Ok("[chronark]\r\nVersion=9\r\n" + std::string(MaxVersionDocumentSize, ';'))));
  TOutcome O = Run(Server.Url(VersionPath));
  EXPECT_EQ(O.Status.toStdString(), "Fehler: \"Die Versionsinformationen sind größer als 1 MiB\"");
  EXPECT_FALSE(O.Enabled["newversion"]);
}

TEST_F(RelcheckOverHttp, DialogRespondsWhileTheServerIsSlow) {
  // The server answers only after the dialog has handled OK (and a Qt timer)
  // while the request was still running.
  THttpTestServer Server([](TConn& C) {
    C.WaitForGate();
    C.Send(Ok("[chronark]\r\nVersion=1.0.2002.624\r\n"));
  });
  bool RunningAfterOk = false, VisibleAfterOk = false;
  Driver.OnStatus = [&](const QString& Text) {
    if (Text != "Empfange Versionsinformationen...") return;
    QTimer::singleShot(0, [&] {
      relcheckform->SpeedButton1->click();
      QTimer::singleShot(20, [&] {
        RunningAfterOk = relcheckform && relcheckform->CheckRunning();
        VisibleAfterOk = relcheckform && relcheckform->isVisible();
        Server.OpenGate();
      });
    });
  };
  TOutcome O = Run(Server.Url(VersionPath));
  EXPECT_TRUE(RunningAfterOk);
  EXPECT_TRUE(VisibleAfterOk);
  ASSERT_FALSE(O.Statuses.empty());
  EXPECT_EQ(O.Statuses.back(), QString::fromUtf8("Kein Update verfügbar"));
}

// The check over https, the certificates made by the TLS tests' PKI.
class RelcheckOverHttps : public RelcheckOverHttp {
protected:
  void SetUp() override {
    RelcheckOverHttp::SetUp();
    ::setenv("SSL_CERT_FILE", chronark::test::TTestPki::Get().File("ca.pem").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("SSL_CERT_FILE");
    RelcheckOverHttp::TearDown();
  }
  using TTls = chronark::test::TTlsTestServer;
  using TConn = chronark::test::TTlsConn;
};

const char* const kNewer =
    "[chronark]\r\nVersion=1.0.2002.625\r\nDownload=https://example.test/c\r\n";

TEST_F(RelcheckOverHttps, FetchesAnHttpsVersionFile) {
  TTls Server([](TConn& C) { C.Send(Ok(kNewer)); });
  TOutcome O = Run(Server.Url("/software/version.txt"));
  EXPECT_EQ(O.Status, "Eine neue Version ist vorhanden!");
  EXPECT_EQ(O.NewVersion, "1.0.2002.625");
  ASSERT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(Server.Requests()[0].substr(0, 36), "GET /software/version.txt HTTP/1.0\r\n");
}

TEST_F(RelcheckOverHttps, FollowsHttpToHttps) {
  TTls Secure([](TConn& C) { C.Send(Ok(kNewer)); });
  THttpTestServer Plain(
      Answer("HTTP/1.0 301 Moved\r\nLocation: " + Secure.Url("/v.txt") + "\r\n\r\n"));
  TOutcome O = Run(Plain.Url(VersionPath));
  EXPECT_EQ(O.Status, "Eine neue Version ist vorhanden!");
  EXPECT_EQ(Secure.Requests().size(), 1u);
}

TEST_F(RelcheckOverHttps, NeverFollowsHttpsToHttp) {
  THttpTestServer Plain(Answer(Ok(kNewer)));
  TTls Secure([&](TConn& C) {
    C.Send("HTTP/1.0 302 Found\r\nLocation: " + Plain.Url(VersionPath) +
           "\r\nContent-Length: 0\r\n\r\n");
  });
  TOutcome O = Run(Secure.Url("/software/version.txt"));
  EXPECT_EQ(O.Status, "Fehler: \"HTTP relocation from https to http refused\"");
  EXPECT_TRUE(Plain.Requests().empty());
  EXPECT_FALSE(O.Enabled["downloadbutton"]);
}

TEST_F(RelcheckOverHttps, RefusesAnUnverifiedServer) {
  TTls Server([](TConn& C) { C.Send(Ok(kNewer)); }, {"selfsigned", 0});
  TOutcome O = Run(Server.Url("/software/version.txt"));
  EXPECT_EQ(O.Status.toStdString(),
            "Fehler: \"SSL certificate verify failed: self-signed certificate (Error #21002)\"");
  EXPECT_FALSE(O.Enabled["newversion"]);
}

}  // namespace
}  // namespace chronark::relcheck

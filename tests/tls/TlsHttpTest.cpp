// THttpCli over https: request bytes inside TLS, refused certificates,
// relocations between http and https, the CONNECT tunnel and the end of a
// document without close_notify.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "support/http_server.h"
#include "TlsTestServer.h"
#include "net/HttpProt.h"
#include "net/Stream.h"
#include "net/WSocket.h"

namespace chronark {
namespace {

using test::Response;
using test::TConn;
using test::TConnectProxy;
using test::TTestPki;
using TTestServer = test::THttpTestServer;
using test::TTlsConn;
using test::TTlsTestServer;

std::pair<std::string, int> GetResult(THttpCli& H) {
  try {
    H.Get();
  } catch (const EHttpException& E) {
    return {E.what(), E.ErrorCode};
  }
  return {"", 0};
}

const char* const kUpdateRequest =
    "GET /software/version.txt HTTP/1.0\r\n"
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
    "User-Agent: Online Relcheck\r\n"
    "Host: localhost\r\n"
    "\r\n";

TEST(HttpsGet, RequestBytesInsideTlsAreThoseOfPlainHttp) {
  TTlsTestServer S([](TTlsConn& C) { C.Send(Response(200, "[chronark]\r\nVersion=2.0\r\n")); });
  THttpCli H;
  H.URL = S.Url("/software/version.txt", "localhost");
  H.Agent = "Online Relcheck";
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  std::string Version;
  H.OnSessionConnected = [&](THttpCli& Cli) { Version = Cli.CtrlSocket().SslVersion(); };
  H.Get();
  EXPECT_EQ(Doc.DataString(), "[chronark]\r\nVersion=2.0\r\n");
  EXPECT_EQ(H.StatusCode(), 200);
  EXPECT_TRUE(H.UseSsl());
  EXPECT_EQ(Version.substr(0, 5), "TLSv1");
  ASSERT_EQ(S.Requests().size(), 1u);
  EXPECT_EQ(S.Requests()[0], kUpdateRequest);
  EXPECT_EQ(S.ServerNames(), std::vector<std::string>{"localhost"});
}

struct TBadCertCase {
  const char* Cert;
  const char* Host;
  const char* Message;
};

class HttpsRefusedCertificate : public ::testing::TestWithParam<TBadCertCase> {};

TEST_P(HttpsRefusedCertificate, EndsWithItsText) {
  const TBadCertCase& Case = GetParam();
  TTlsTestServer S([](TTlsConn& C) { C.Send(Response(200, "secret")); }, {Case.Cert, 0});
  THttpCli H;
  H.URL = S.Url("/x", Case.Host);
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  const auto [Msg, Code] = GetResult(H);
  EXPECT_EQ(Msg, Case.Message);
  EXPECT_EQ(Code, 404);
  EXPECT_EQ(Doc.Size(), 0);
  EXPECT_TRUE(S.Requests().empty()) << "no request byte reaches a refused server";
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, HttpsRefusedCertificate,
    ::testing::Values(
        TBadCertCase{"expired", "localhost",
                     "SSL certificate verify failed: certificate has expired (Error #21002)"},
        TBadCertCase{"selfsigned", "localhost",
                     "SSL certificate verify failed: self-signed certificate (Error #21002)"},
        TBadCertCase{"wronghost", "localhost", "SSL host name mismatch (Error #21003)"},
        TBadCertCase{"wronghost", "127.0.0.1", "SSL host name mismatch (Error #21003)"},
        TBadCertCase{"untrusted", "127.0.0.1",
                     "SSL certificate verify failed: unable to get local issuer certificate "
                     "(Error #21002)"}));

TEST(HttpsGet, CAFileReplacesTheSystemStore) {
  TTlsTestServer S([](TTlsConn& C) { C.Send(Response(200, "ok")); }, {"untrusted", 0});
  THttpCli H;
  H.URL = S.Url("/x");
  H.SslCAFile = TTestPki::Get().File("otherca.pem");
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  H.Get();
  EXPECT_EQ(Doc.DataString(), "ok");
  // The bundle alone: the CA of the system store (here the test CA) is not asked.
  TTlsTestServer Good([](TTlsConn& C) { C.Send(Response(200, "ok")); });
  H.URL = Good.Url("/x");
  EXPECT_EQ(GetResult(H).first,
            "SSL certificate verify failed: unable to get local issuer certificate (Error #21002)");
  H.SslCAFile = "/nonexistent/ca.pem";
  EXPECT_EQ(GetResult(H).first,
            "SSL initialisation failed: cannot load CA file /nonexistent/ca.pem (Error #21006)");
}

TEST(HttpsGet, PeerOfferingOnlyTls10IsRefused) {
  TTlsTestServer S([](TTlsConn& C) { C.Send(Response(200, "old")); }, {"good", TLS1_VERSION});
  THttpCli H;
  H.URL = S.Url("/x");
  EXPECT_EQ(GetResult(H).first,
            "SSL handshake failed: the server offers no TLS 1.2 or newer (Error #21001)");
}

TEST(HttpsGet, HandshakeThatNeverCompletesEndsByTheIdleTimeout) {
  // A TCP peer that takes the ClientHello and never answers.
  TTestServer S([](TConn& C) { C.Sleep(5000); });
  THttpCli H;
  H.URL = "https://127.0.0.1:" + std::to_string(S.Port()) + "/x";
  H.IdleTimeout = std::chrono::milliseconds(300);
  const auto T0 = std::chrono::steady_clock::now();
  EXPECT_EQ(GetResult(H).first, "Connection timed out (Error #10060)");
  EXPECT_LT(std::chrono::steady_clock::now() - T0, std::chrono::seconds(3));
}

TEST(HttpsGet, DocumentWithoutLengthNeedsCloseNotify) {
  // HTTP/1.0 ends such a document with the connection: only close_notify
  // tells its end from a cut made by someone on the path.
  for (const bool Notify : {true, false}) {
    TTlsTestServer S([Notify](TTlsConn& C) {
      C.Send("HTTP/1.0 200 OK\r\n\r\n[chronark]\r\nVersion=9");
      C.CloseNotify = Notify;
    });
    THttpCli H;
    H.URL = S.Url("/v");
    TMemoryStream Doc;
    H.ReceiveStream = &Doc;
    const auto [Msg, Code] = GetResult(H);
    if (Notify) {
      EXPECT_EQ(Msg, "");
      EXPECT_EQ(Doc.DataString(), "[chronark]\r\nVersion=9");
    } else {
      EXPECT_EQ(Msg, "SSL connection closed without close_notify (Error #21005)");
      EXPECT_EQ(Code, 404);
    }
  }
  // With a Content-Length the length decides: many servers never send close_notify.
  TTlsTestServer S([](TTlsConn& C) {
    C.Send(Response(200, "[chronark]\r\nVersion=9"));
    C.CloseNotify = false;
  });
  THttpCli H;
  H.URL = S.Url("/v");
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  EXPECT_EQ(GetResult(H).first, "");
  EXPECT_EQ(Doc.DataString(), "[chronark]\r\nVersion=9");
}

TEST(HttpsRelocation, HttpToHttpsSwitchesToTls) {
  TTlsTestServer Secure([](TTlsConn& C) { C.Send(Response(200, "secure")); });
  TTestServer Plain([&](TConn& C) {
    C.Send(Response(301, "", "Location: " + Secure.Url("/new", "localhost") + "\r\n"));
  });
  THttpCli H;
  H.URL = Plain.Url("/old");
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  H.Get();
  EXPECT_EQ(Doc.DataString(), "secure");
  EXPECT_EQ(H.Location(), Secure.Url("/new", "localhost"));
  ASSERT_EQ(Secure.Requests().size(), 1u);
  EXPECT_EQ(Secure.Requests()[0].substr(0, 22), "GET /new HTTP/1.0\r\nAcc");
  EXPECT_NE(Secure.Requests()[0].find("\r\nHost: localhost\r\n"), std::string::npos);
}

TEST(HttpsRelocation, HttpsWithoutPortGoesTo443) {
  TTestServer Plain(
      [](TConn& C) { C.Send(Response(302, "", "Location: https://127.0.0.1/x\r\n")); });
  THttpCli H;
  H.URL = Plain.Url("/old");
  std::string Port;
  bool Ssl = false;
  H.OnLocationChange = [&](THttpCli& Cli) {
    Port = Cli.Port();
    Ssl = Cli.UseSsl();
  };
  GetResult(H);  // nothing of ours listens on 443
  EXPECT_EQ(Port, "443");
  EXPECT_TRUE(Ssl);
}

TEST(HttpsRelocation, HttpsToHttpIsFollowedUnlessRefused) {
  TTestServer Plain([](TConn& C) { C.Send(Response(200, "plain")); });
  TTlsTestServer Secure(
      [&](TTlsConn& C) { C.Send(Response(302, "", "Location: " + Plain.Url("/p") + "\r\n")); });
  THttpCli H;
  H.URL = Secure.Url("/s");
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  H.Get();
  EXPECT_EQ(Doc.DataString(), "plain");
  EXPECT_FALSE(H.UseSsl());

  H.RefuseHttpsToHttp = true;
  Doc.SetSize(0);
  const auto [Msg, Code] = GetResult(H);
  EXPECT_EQ(Msg, "HTTP relocation from https to http refused");
  EXPECT_EQ(Code, 302);
  EXPECT_EQ(Plain.Requests().size(), 1u) << "the plain server is not asked again";
  EXPECT_EQ(Doc.Size(), 0);
}

TEST(HttpsProxy, ConnectTunnelThenTlsInside) {
  TTlsTestServer S([](TTlsConn& C) { C.Send(Response(200, "tunnelled")); });
  TConnectProxy P;
  THttpCli H;
  H.URL = S.Url("/doc?a=1", "localhost");
  H.Proxy = "127.0.0.1:" + std::to_string(P.Port());
  H.ProxyUsername = "user";
  H.ProxyPassword = "pw";
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  H.Get();
  EXPECT_EQ(Doc.DataString(), "tunnelled");
  ASSERT_EQ(P.Requests().size(), 1u);
  EXPECT_EQ(P.Requests()[0], "CONNECT localhost:" + std::to_string(S.Port()) +
                                 " HTTP/1.0\r\nProxy-Authorization: Basic dXNlcjpwdw==\r\n\r\n");
  ASSERT_EQ(S.Requests().size(), 1u);
  EXPECT_EQ(S.Requests()[0],
            "GET /doc?a=1 HTTP/1.0\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "User-Agent: Mozilla/3.0 (compatible)\r\n"
            "Host: localhost\r\n"
            "\r\n")
      << "the proxy's credentials stay outside the tunnel";
  EXPECT_EQ(S.ServerNames(), std::vector<std::string>{"localhost"});
}

TEST(HttpsProxy, RefusedTunnelRaisesTheProxyStatus) {
  TConnectProxy P("407 Proxy Authentication Required");
  THttpCli H;
  H.URL = "https://localhost:1/x";
  H.Proxy = "127.0.0.1";
  H.ProxyPort = std::to_string(P.Port());
  const auto [Msg, Code] = GetResult(H);
  EXPECT_EQ(Msg, "Proxy Authentication Required");
  EXPECT_EQ(Code, 407);
  EXPECT_EQ(P.Requests()[0], "CONNECT localhost:1 HTTP/1.0\r\n\r\n");
}

TEST(HttpsProxy, PlainHttpThroughTheProxyIsUnchanged) {
  TTestServer P([](TConn& C) { C.Send(Response(200, "via proxy")); });
  THttpCli H;
  H.URL = "http://example.invalid/x";
  H.Proxy = "127.0.0.1:" + std::to_string(P.Port());
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  H.Get();
  EXPECT_EQ(Doc.DataString(), "via proxy");
  EXPECT_EQ(P.Requests()[0].substr(0, 40), "GET http://example.invalid/x HTTP/1.0\r\nA");
}

}  // namespace
}  // namespace chronark

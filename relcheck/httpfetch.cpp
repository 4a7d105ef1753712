// The network step of the check: THttpCli with the settings of the dialog's
// form, its blocking Get waiting inside Qt's event loop.
#include "relcheck/main.h"

#include "common/exceptions.h"
#include "common/scopeexit.h"
#include "net/HttpProt.h"
#include "platform/qtbridge/QtBridge.h"

#include <stdexcept>

namespace chronark::relcheck {
namespace {

// The document as it arrives, append only and bounded: a write beyond the
// limit throws, which ends the request with our message.
class TDocumentStream : public TStream {
public:
  TDocumentStream(std::string& Document, size_t Limit) : FDocument(Document), FLimit(Limit) {}

  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (Count <= 0) return 0;
    if (static_cast<uint64_t>(Count) > FLimit - FDocument.size())
      throw std::length_error(std::string(DocumentTooLargeMessage));
    FDocument.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
    return Count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(FDocument.size()); }

private:
  std::string& FDocument;
  size_t FLimit;
};

// The client whose wait gives up once the fetcher's owner asks it to.
class TAbortableHttpCli : public THttpCli {
public:
  explicit TAbortableHttpCli(const std::function<bool()>& Requested) : FRequested(Requested) {}

protected:
  void WaitForEvents() override {
    ThrowIfAborted();
    THttpCli::WaitForEvents();
    ThrowIfAborted();
  }

private:
  void ThrowIfAborted() {
    if (!FRequested || !FRequested()) return;
    SocketAbort();
    throw Exception(std::string(AbortedMessage));
  }
  const std::function<bool()>& FRequested;
};

class THttpFetcher : public TDocumentFetcher {
public:
  // The settings of the dialog's form; not multi-threaded, so that Get runs
  // the thread's ordinary loop. Agent is replaced before every request.
  THttpFetcher() : uHttp1(AbortRequested) {
    uHttp1.LocalAddr = "0.0.0.0";
    uHttp1.ProxyPort = "80";
    uHttp1.Proxy.clear();
    uHttp1.Agent = "Mozilla/3.0 (compatible)";
    uHttp1.Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    uHttp1.NoCache = false;
    uHttp1.ContentTypePost = "application/x-www-form-urlencoded";
    uHttp1.SetMultiThreaded(false);
    // Verification is always on (THttpCli never turns it off); what came
    // over TLS may not hand the check on to plain text, where anyone on the
    // path could rewrite the download address.
    uHttp1.RefuseHttpsToHttp = true;
  }
  THttpFetcher(std::chrono::milliseconds IdleTimeout, std::chrono::milliseconds TotalTimeout)
      : THttpFetcher() {
    uHttp1.IdleTimeout = IdleTimeout;
    uHttp1.TotalTimeout = TotalTimeout;
  }

  void Get(const std::string& URL, std::string_view Agent, std::string& Document) override {
    // Sockets and the client's timeouts fire inside Qt's loop while Get
    // waits, so the dialog repaints and its buttons respond.
    TQtEventBridge Bridge;
    TDocumentStream Stream(Document, MaxVersionDocumentSize);
    uHttp1.Agent = std::string(Agent);
    uHttp1.URL = URL;
    uHttp1.ReceiveStream = &Stream;
    TScopeExit Detach([this] { uHttp1.ReceiveStream = nullptr; });
    uHttp1.Get();
  }

private:
  TAbortableHttpCli uHttp1;
};

}  // namespace

std::unique_ptr<TDocumentFetcher> CreateHttpFetcher() { return std::make_unique<THttpFetcher>(); }

std::unique_ptr<TDocumentFetcher> CreateHttpFetcher(std::chrono::milliseconds IdleTimeout,
                                                    std::chrono::milliseconds TotalTimeout) {
  return std::make_unique<THttpFetcher>(IdleTimeout, TotalTimeout);
}

}  // namespace chronark::relcheck

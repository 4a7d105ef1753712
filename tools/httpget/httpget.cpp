// httpget [-o FILE] [-A AGENT] [-x HOST[:PORT]] [--cacert FILE] [-v] URL
// Fetches URL (http:// or https://) with THttpCli::Get and writes the body to
// standard output or FILE. --cacert trusts only the CA certificates of FILE
// instead of the system store. Exit codes: 0 fetched, 1 the request failed,
// 2 wrong usage.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "net/HttpProt.h"
#include "net/Stream.h"
#include "platform/files/safefile.h"
#include "net/WSocket.h"

namespace {

using namespace chronark;

const char* const kUsage =
    "Usage: httpget [-o FILE] [-A AGENT] [-x HOST[:PORT]] [--cacert FILE] [-v] URL\n";

// What a server sent, fit for a terminal: control characters (escape
// sequences, line breaks that would forge lines of our own) become \xHH.
std::string Printable(const std::string& S) {
  std::string Out;
  for (const char C : S) {
    const unsigned char U = static_cast<unsigned char>(C);
    if (U < 0x20 || U == 0x7F) {
      char Buf[5];
      std::snprintf(Buf, sizeof Buf, "\\x%02X", U);
      Out += Buf;
    } else {
      Out += C;
    }
  }
  return Out;
}

// Writes straight to a descriptor: a large document is never held in memory.
class TFdStream : public TStream {
public:
  explicit TFdStream(int Fd) : FFd(Fd) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* Buffer, int64_t Count) override {
    const char* P = static_cast<const char*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
      const ssize_t N = ::write(FFd, P + Done, static_cast<size_t>(Count - Done));
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) break;
      Done += N;
    }
    FPos += Done;
    return Done;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return FPos; }

private:
  int FFd;
  int64_t FPos = 0;
};

// FILE goes through the safe writer: a temporary file beside it, renamed
// over it once the document is complete, so a failed request keeps the old
// file and leaves nothing new behind; devices and pipes are written to
// directly. A write that fails is remembered and reported at the end.
class TFileStream : public TStream {
public:
  explicit TFileStream(TSafeFileWriter& Writer) : FWriter(Writer) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (FFailed) return 0;
    try {
      FWriter.Write(Buffer, static_cast<size_t>(Count));
    } catch (const std::exception&) {
      FFailed = true;
      return 0;
    }
    FPos += Count;
    return Count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return FPos; }
  bool Failed() const { return FFailed; }

private:
  TSafeFileWriter& FWriter;
  int64_t FPos = 0;
  bool FFailed = false;
};

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// The header lines of the current response not shown yet; Shown counts the
// ones shown.
void ShowHeaderLines(THttpCli& H, size_t& Shown) {
  const auto& Lines = H.ReceivedHeader();
  for (Shown = std::min(Shown, Lines.size()); Shown < Lines.size(); ++Shown)
    std::fprintf(stderr, "%s\n", Printable(Lines[Shown]).c_str());
}

struct TOptions {
  std::string OutFile, Agent, Proxy, Url, CAFile;
  bool HaveAgent = false, Verbose = false;
};

// The command line into Opt; -1 when the fetch may go on, else the exit code.
int ParseOptions(int argc, char** argv, TOptions& Opt) {
  bool HaveUrl = false, OptionsDone = false;
  for (int I = 1; I < argc; ++I) {
    const std::string A = argv[I];
    if (!OptionsDone && (A == "-h" || A == "--help")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!OptionsDone && A == "--") {
      OptionsDone = true;
    } else if (!OptionsDone && (A == "-o" || A == "-A" || A == "-x" || A == "--cacert")) {
      if (I + 1 >= argc) return Usage();
      const std::string V = argv[++I];
      if (A == "-o")
        Opt.OutFile = V;
      else if (A == "-A")
        Opt.Agent = V, Opt.HaveAgent = true;
      else if (A == "-x")
        Opt.Proxy = V;
      else
        Opt.CAFile = V;
      if (A != "-A" && V.empty()) return Usage();
    } else if (!OptionsDone && A == "-v") {
      Opt.Verbose = true;
    } else if ((!OptionsDone && A.size() > 1 && A[0] == '-') || HaveUrl) {
      return Usage();
    } else {
      Opt.Url = A;
      HaveUrl = true;
    }
  }
  return HaveUrl ? -1 : Usage();
}

// -v: the request lines, the TLS session and the header lines as they come.
// Shown counts the header lines shown of the current response.
void ShowTraffic(THttpCli& Http, size_t& Shown) {
  Http.OnSessionConnected = [](THttpCli& H) {
    TWSocket& S = H.CtrlSocket();
    if (!S.SslActive()) return;
    std::fprintf(stderr, "* TLS: %s, %s\n* Server certificate: %s\n", S.SslVersion().c_str(),
                 S.SslCipher().c_str(), Printable(S.SslPeerSubject()).c_str());
  };
  Http.OnCommand = [](THttpCli&, std::string& S) { std::fprintf(stderr, "%s\n", S.c_str()); };
  Http.OnHeaderBegin = [&Shown](THttpCli&) { Shown = 0; };
  Http.OnHeaderData = [&Shown](THttpCli& H) { ShowHeaderLines(H, Shown); };
}

// Fetches Opt.Url into Out; 0, or 1 with the message on standard error.
int Fetch(const TOptions& Opt, TStream& Out) {
  try {
    THttpCli Http;
    Http.URL = Opt.Url;
    if (Opt.HaveAgent) Http.Agent = Opt.Agent;
    Http.Proxy = Opt.Proxy;
    Http.SslCAFile = Opt.CAFile;
    size_t Shown = 0;
    if (Opt.Verbose) ShowTraffic(Http, Shown);
    // Only a document that is not an error page reaches the output.
    Http.OnDocBegin = [&Out](THttpCli& H) {
      H.ReceiveStream = H.StatusCode() < 400 ? &Out : nullptr;
    };
    try {
      Http.Get();
    } catch (const EHttpException&) {
      // A line that ended the request (a status that is no number) is shown
      // too, before the error.
      if (Opt.Verbose) ShowHeaderLines(Http, Shown);
      throw;
    }
  } catch (const std::exception& E) {
    // Often the server's reason phrase.
    std::fprintf(stderr, "%s\n", Printable(E.what()).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions Opt;
  if (const int Rc = ParseOptions(argc, argv, Opt); Rc >= 0) return Rc;

  std::signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<TSafeFileWriter> Writer;
  if (!Opt.OutFile.empty()) {
    try {
      Writer = std::make_unique<TSafeFileWriter>(Opt.OutFile);
    } catch (const EInOutError& E) {
      std::fprintf(stderr, "%s\n", E.what());  // "Cannot create file FILE: reason"
      return 1;
    }
  }
  TFdStream ToStdout(STDOUT_FILENO);
  std::unique_ptr<TFileStream> ToFile;
  if (Writer) ToFile = std::make_unique<TFileStream>(*Writer);
  TStream& Out = ToFile ? static_cast<TStream&>(*ToFile) : ToStdout;

  int Rc = Fetch(Opt, Out);
  // Without a commit the writer removes its temporary file, and the old
  // file stays as it was.
  if (Writer && Rc == 0) {
    try {
      if (ToFile->Failed()) throw EInOutError("write failed");
      Writer->Commit();
    } catch (const EInOutError&) {
      std::fprintf(stderr, "Unable to write to %s\n", Opt.OutFile.c_str());
      Rc = 1;
    }
  }
  return Rc;
}

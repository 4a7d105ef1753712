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
#include <string>
#include <vector>

#include "net/HttpProt.h"
#include "net/Stream.h"
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

// A regular file (or a new one) is written under a temporary name beside it
// and renamed over it once the document is complete: a failed request keeps
// the old file and leaves nothing new behind. Devices and pipes are written
// to directly and never removed.
struct TOutFile {
  int Fd = -1;
  std::string Target;  // where the document goes (symbolic links resolved)
  std::string Temp;    // empty when writing straight to Target
};

bool OpenOutFile(const std::string& Name, TOutFile& Out) {
  Out.Target = Name;
  struct stat St {};
  if (::stat(Name.c_str(), &St) == 0 && !S_ISREG(St.st_mode)) {
    Out.Fd = ::open(Name.c_str(), O_WRONLY | O_CLOEXEC);
    return Out.Fd >= 0;
  }
  if (char* Real = ::realpath(Name.c_str(), nullptr)) {
    Out.Target = Real;
    std::free(Real);
  }
  std::vector<char> Tmp(Out.Target.begin(), Out.Target.end());
  const char Suffix[] = ".httpget-XXXXXX";
  Tmp.insert(Tmp.end(), Suffix, Suffix + sizeof Suffix);
  Out.Fd = ::mkostemp(Tmp.data(), O_CLOEXEC);
  if (Out.Fd < 0) {
    // A writable file in a folder that takes no new files: written in place.
    Out.Fd = ::open(Out.Target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    return Out.Fd >= 0;
  }
  Out.Temp = Tmp.data();
  // The permissions a newly created file would get.
  const mode_t Mask = ::umask(0);
  ::umask(Mask);
  ::fchmod(Out.Fd, S_ISREG(St.st_mode) && St.st_nlink > 0 ? (St.st_mode & 07777) : (0666 & ~Mask));
  return true;
}

// Closes the file; with Ok the document takes its place, otherwise the
// temporary file goes. Returns false when the document could not be kept.
bool FinishOutFile(TOutFile& Out, bool Ok) {
  const bool Closed = ::close(Out.Fd) == 0;
  if (Out.Temp.empty()) return Closed || !Ok;
  if (Ok && Closed && ::rename(Out.Temp.c_str(), Out.Target.c_str()) == 0) return true;
  ::unlink(Out.Temp.c_str());
  return !Ok;
}

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string OutFile, Agent, Proxy, Url, CAFile;
  bool HaveAgent = false, Verbose = false, HaveUrl = false, OptionsDone = false;
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
        OutFile = V;
      else if (A == "-A")
        Agent = V, HaveAgent = true;
      else if (A == "-x")
        Proxy = V;
      else
        CAFile = V;
      if (A != "-A" && V.empty()) return Usage();
    } else if (!OptionsDone && A == "-v") {
      Verbose = true;
    } else if (!OptionsDone && A.size() > 1 && A[0] == '-') {
      return Usage();
    } else if (HaveUrl) {
      return Usage();
    } else {
      Url = A;
      HaveUrl = true;
    }
  }
  if (!HaveUrl) return Usage();

  std::signal(SIGPIPE, SIG_IGN);
  TOutFile File;
  File.Fd = STDOUT_FILENO;
  if (!OutFile.empty() && !OpenOutFile(OutFile, File)) {
    std::fprintf(stderr, "Cannot create file %s\n", OutFile.c_str());
    return 1;
  }
  TFdStream Out(File.Fd);

  int Rc = 0;
  try {
    THttpCli Http;
    Http.URL = Url;
    if (HaveAgent) Http.Agent = Agent;
    Http.Proxy = Proxy;
    Http.SslCAFile = CAFile;
    // Header lines shown so far of the current response: a line that ends
    // the request (a status that is no number) is shown too, before the error.
    size_t Shown = 0;
    auto ShowHeader = [&Shown, Verbose](THttpCli& H) {
      const auto& Lines = H.ReceivedHeader();
      for (Shown = std::min(Shown, Lines.size()); Verbose && Shown < Lines.size(); ++Shown)
        std::fprintf(stderr, "%s\n", Printable(Lines[Shown]).c_str());
    };
    if (Verbose) {
      // The TLS session as negotiated, once the handshake is done.
      Http.OnSessionConnected = [](THttpCli& H) {
        TWSocket& S = H.CtrlSocket();
        if (!S.SslActive()) return;
        std::fprintf(stderr, "* TLS: %s, %s\n* Server certificate: %s\n", S.SslVersion().c_str(),
                     S.SslCipher().c_str(), Printable(S.SslPeerSubject()).c_str());
      };
      Http.OnCommand = [](THttpCli&, std::string& S) { std::fprintf(stderr, "%s\n", S.c_str()); };
      Http.OnHeaderBegin = [&Shown](THttpCli&) { Shown = 0; };
      Http.OnHeaderData = ShowHeader;
    }
    // Only a document that is not an error page reaches the output.
    Http.OnDocBegin = [&Out](THttpCli& H) {
      H.ReceiveStream = H.StatusCode() < 400 ? &Out : nullptr;
    };
    try {
      Http.Get();
    } catch (const EHttpException&) {
      ShowHeader(Http);
      throw;
    }
  } catch (const EHttpException& E) {
    // Often the server's reason phrase.
    std::fprintf(stderr, "%s\n", Printable(E.what()).c_str());
    Rc = 1;
  } catch (const std::exception& E) {
    std::fprintf(stderr, "%s\n", Printable(E.what()).c_str());
    Rc = 1;
  }
  if (!OutFile.empty() && !FinishOutFile(File, Rc == 0)) {
    std::fprintf(stderr, "Unable to write to %s\n", OutFile.c_str());
    Rc = 1;
  }
  return Rc;
}

// Line mode and the blocking wait of TWSocket, and the published class.
#include "net/WSocket.h"

#include <algorithm>
#include <cstring>

namespace chronark {

// ---------------------------------------------------------------------------
// Line mode

void TCustomLineWSocket::SetLineMode(bool V) {
  if (V == FLineMode) return;
  FLineMode = V;
  // What line mode holds is offered again under the new mode.
  if (!FRcvdBuf.empty() && !FRedeliverPosted) {
    FRedeliverPosted = true;
    FLoop.PostMessage(FWindowHandle, SKM_LINE_REDELIVER);
  }
}

void TCustomLineWSocket::NotifyLineLimitExceeded(int RcvdLength, bool& ClearData) {
  if (OnLineLimitExceeded) OnLineLimitExceeded(Self(), RcvdLength, ClearData);
}

// Backspace removes the character before it, a tab becomes blanks up to the
// next multiple of 8 within the line.
void TCustomLineWSocket::EditLine() {
  std::string Out;
  Out.reserve(FRcvdBuf.size());
  for (char C : FRcvdBuf) {
    if (C == '\b') {
      if (!Out.empty() && Out.back() != '\n') Out.pop_back();
    } else if (C == '\t') {
      size_t LineStart = Out.rfind('\n');
      LineStart = LineStart == std::string::npos ? 0 : LineStart + 1;
      do Out += ' ';
      while ((Out.size() - LineStart) % 8 != 0);
    } else {
      Out += C;
    }
  }
  FRcvdBuf.swap(Out);
}

bool TCustomLineWSocket::NotifyDataAvailable(uint16_t Error) {
  if (SocksNegotiating() || !FLineMode || FLineEnd.empty())
    return TCustomSocksWSocket::NotifyDataAvailable(Error);
  int32_t Pending = PlatformRcvdCount();
  if (Pending < 0) return true;
  if (Pending == 0) Pending = 255;
  std::string Chunk(static_cast<size_t>(Pending), '\0');
  int N = TCustomWSocket::Receive(Chunk.data(), Pending);
  if (N <= 0) return true;
  Chunk.resize(static_cast<size_t>(N));
  if (FLineEcho) SendStr(Chunk);
  FRcvdBuf += Chunk;
  if (FLineEdit) EditLine();
  OfferLines();
  return true;
}

void TCustomLineWSocket::OfferLines() {
  while (FLineMode && !FLineEnd.empty() && FHSocket.Valid()) {
    size_t Pos = FRcvdBuf.find(FLineEnd);
    if (Pos == std::string::npos) {
      if (FRcvdBuf.size() > static_cast<size_t>(FLineLimit)) {
        bool ClearData = true;
        if (!FLife.Fire(
                [&] { NotifyLineLimitExceeded(static_cast<int>(FRcvdBuf.size()), ClearData); }))
          return;
        if (ClearData) FRcvdBuf.clear();
      }
      return;
    }
    FLineLength = static_cast<int32_t>(Pos + FLineEnd.size());
    FLineOffered = true;
    if (OnDataAvailable && !FLife.Fire([&] { OnDataAvailable(Self(), 0); })) return;
    if (FLineOffered) {
      // Not read (or not all of it): the line is gone either way, or the
      // next one could never be offered.
      FRcvdBuf.erase(0, static_cast<size_t>(
                            std::min<int32_t>(FLineLength, static_cast<int32_t>(FRcvdBuf.size()))));
      FLineOffered = false;
      FLineLength = 0;
    }
  }
}

int TCustomLineWSocket::Receive(void* Buffer, int BufferSize) {
  if (FLineOffered) {
    int N = std::min(BufferSize, FLineLength);
    if (N < 0) N = 0;
    std::memcpy(Buffer, FRcvdBuf.data(), static_cast<size_t>(N));
    FRcvdBuf.erase(0, static_cast<size_t>(N));
    FLineLength -= N;
    if (FLineLength <= 0) {
      FLineOffered = false;
      FLineLength = 0;
    }
    FReadCount += static_cast<uint32_t>(N);
    return N;
  }
  if (FLineMode && !FLineEnd.empty() && !SocksNegotiating()) {
    // Between lines the bytes wait in the line buffer: nothing to read yet.
    return 0;
  }
  if (!FRcvdBuf.empty()) {
    // Left over from line mode: handed out before anything newer.
    int N = std::min(BufferSize, static_cast<int>(FRcvdBuf.size()));
    std::memcpy(Buffer, FRcvdBuf.data(), static_cast<size_t>(N));
    FRcvdBuf.erase(0, static_cast<size_t>(N));
    FReadCount += static_cast<uint32_t>(N);
    return N;
  }
  return TCustomSocksWSocket::Receive(Buffer, BufferSize);
}

int32_t TCustomLineWSocket::RcvdCount() {
  if (FLineOffered) return FLineLength;
  if (FLineMode && !FLineEnd.empty()) return 0;
  if (!FRcvdBuf.empty()) return static_cast<int32_t>(FRcvdBuf.size());
  return TCustomSocksWSocket::RcvdCount();
}

void TCustomLineWSocket::HandleMessage(const TMessage& Msg) {
  if (Msg.Msg != SKM_LINE_REDELIVER) return TCustomSocksWSocket::HandleMessage(Msg);
  FRedeliverPosted = false;
  const auto Alive = FLife.Watch();
  try {
    if (FLineMode) {
      OfferLines();
    } else if (!FRcvdBuf.empty() && OnDataAvailable) {
      OnDataAvailable(Self(), 0);
    }
  } catch (const std::exception&) {
    if (Alive.Alive()) HandleBackgroundException(std::current_exception());
  }
}

void TCustomLineWSocket::NotifySessionClosed(uint16_t Error) {
  if (FLineMode && !FRcvdBuf.empty() && OnDataAvailable) {
    // The partial line the peer left behind, offered once more.
    FLineLength = static_cast<int32_t>(FRcvdBuf.size());
    FLineOffered = true;
    const bool Alive = FLife.Fire([&] {
      try {
        OnDataAvailable(Self(), Error);
      } catch (...) {
        // Closing goes on whatever the data handler does.
      }
    });
    if (!Alive) return;
    FLineOffered = false;
    FLineLength = 0;
  }
  FRcvdBuf.clear();
  TCustomSocksWSocket::NotifySessionClosed(Error);
}

// ---------------------------------------------------------------------------
// Blocking wait

int TCustomSyncWSocket::WaitUntilReady(const bool& Flag) {
  while (!Flag) {
    if (FLoop.QuitRequested()) {
      FTerminated = true;
      return 12001;
    }
    // The handlers the wait runs may delete the socket.
    if (!FLife.Fire([&] { FLoop.WaitOne(); })) return 0;
  }
  return 0;
}

// ---------------------------------------------------------------------------

TWSocket::TWSocket() = default;

TWSocket::~TWSocket() { Teardown(); }

}  // namespace chronark

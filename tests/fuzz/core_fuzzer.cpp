// Any bytes as a project record, as INI text, as placeholder, value and
// line, and as text to convert: nothing may crash, hang or invoke undefined
// behaviour, and the replacement must equal the restarting search wherever
// that ends quickly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/cp1252.h"
#include "common/cstring.h"
#include "core/crkm.h"
#include "platform/files/inifile.h"

using namespace chronark;

namespace {

std::optional<std::string> Restarting(std::string S, std::string_view P, std::string_view V) {
  const std::string K = AsciiLowerCase(P);
  for (int Step = 0; Step < 200; ++Step) {
    const size_t At = AsciiLowerCase(S).find(K);
    if (At == std::string::npos) return S;
    S.replace(At, P.size(), V);
    if (S.size() > 2000) break;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  const std::string_view In(reinterpret_cast<const char*>(Data + 1), Size - 1);
  switch (Data[0] % 4) {
    case 0: {
      unsigned char Rec[CREntrySize] = {};
      std::memcpy(Rec, In.data(), std::min(In.size(), CREntrySize));
      TChronarkMan M;
      M.AddRecord(DecodeRecord(Rec));
      M.AddEntry(M.Entries()[0].StartTime, M.Entries()[0].EndTime, M.GetComment(0));
      TStrings L;
      M.FillStrings(L);
      (void)M.GetTotalText();
      unsigned char Out[CREntrySize];
      EncodeRecord(M.Entries()[0], Out);
      if (std::memcmp(Out, Rec, 25 + Rec[24]) != 0) std::abort();
      break;
    }
    case 1: {
      (void)ReadProfileStringFromText(In, "Main", "Project", "x");
      const std::string W = WriteProfileStringToText(In, "Main", "Project", "v");
      if (ReadProfileStringFromText(W, "Main", "Project", "x") != "v" &&
          ReadProfileStringFromText(In, "Main", "Project", "x") == "x")
        std::abort();
      break;
    }
    case 2: {
      // pattern | value | line
      const size_t A = In.find('|'), B = A == In.npos ? In.npos : In.find('|', A + 1);
      if (B == In.npos || A == 0) return 0;
      const std::string_view P = In.substr(0, A), V = In.substr(A + 1, B - A - 1);
      std::string S(In.substr(B + 1));
      const auto Want = Restarting(S, P, V);
      StrReplace(S, P, V, false);
      if (Want && *Want != S) std::abort();
      break;
    }
    case 3: {
      const std::string U = Cp1252ToUtf8(In);
      if (Utf8ToCp1252(U) != In) std::abort();
      (void)Utf8ToCp1252(In);
      break;
    }
  }
  return 0;
}

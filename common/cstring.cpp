#include "common/cstring.h"

#include <algorithm>
#include <cstdint>

namespace chronark {

namespace {

std::string Fold(std::string_view S, bool CaseSensitive) {
  return CaseSensitive ? std::string(S) : AsciiLowerCase(S);
}

// A value shorter than the pattern shortens the text at every step, so the
// restarting search ends by itself. Otherwise it is taken as never ending
// once it has scanned more characters than this budget allows: a fixed
// floor, plus a multiple of what the line and one value per original
// occurrence amount to. A long template line with many placeholders, and
// chains where inserted values meet their surroundings again and again
// (each consuming characters of the line), stay well within it; the work
// stays proportional to the line and its single-pass result.
constexpr size_t RestartBudgetFloor = size_t(1) << 16;
constexpr size_t RestartBudgetFactor = 8;

size_t CountOccurrences(const std::string& FoldedS, const std::string& Key) {
  size_t Count = 0;
  for (size_t P = FoldedS.find(Key); P != std::string::npos; P = FoldedS.find(Key, P + Key.size()))
    ++Count;
  return Count;
}

// SIZE_MAX where the search is sure to end.
size_t RestartBudget(size_t Length, size_t Occurrences, size_t KeySize, size_t ValueSize) {
  if (ValueSize < KeySize) return SIZE_MAX;
  const double Budget =
      double(RestartBudgetFloor) +
      double(RestartBudgetFactor) * (double(Length) + double(Occurrences) * double(ValueSize));
  return Budget >= double(SIZE_MAX) ? SIZE_MAX : size_t(Budget);
}

// Every occurrence in the original S, left to right, replaced once; inserted
// values are not searched again. Used where the restarting search never ends.
std::string ReplaceOnce(const std::string& S, const std::string& FoldedS, const std::string& Key,
                        std::string_view Value) {
  std::string Result;
  size_t From = 0;
  for (size_t P = FoldedS.find(Key); P != std::string::npos; P = FoldedS.find(Key, From)) {
    Result.append(S, From, P - From);
    Result.append(Value);
    From = P + Key.size();
  }
  Result.append(S, From);
  return Result;
}

// The restarting search, run as a scan. All occurrences are Key.size() long,
// so the first occurrence is also the first one to end. The scanned text
// (Done) never holds an occurrence: each character pushed is checked, and
// taking a match off the end keeps a prefix of occurrence-free text. After a
// replacement the value is scanned next, followed by what was pending, which
// is exactly what a new search from the beginning finds. Pending is a stack
// of positions into Value above the rest of S.
bool RestartingReplace(std::string& S, const std::string& Key, std::string_view Value,
                       bool CaseSensitive, size_t Budget) {
  const size_t N = Key.size();
  const char Last = Key.back();
  std::string Done;
  Done.reserve(S.size() + Value.size());
  std::vector<size_t> Pending;
  size_t SPos = 0;
  size_t Scanned = 0;
  for (;;) {
    char C;
    if (!Pending.empty()) {
      size_t& P = Pending.back();
      if (P == Value.size()) {
        Pending.pop_back();
        continue;
      }
      C = Value[P++];
    } else if (SPos < S.size()) {
      C = S[SPos++];
    } else {
      break;
    }
    if (++Scanned > Budget) return false;
    Done.push_back(C);
    if ((CaseSensitive ? C : AsciiLower(C)) != Last || Done.size() < N) continue;
    const char* Tail = Done.data() + Done.size() - N;
    bool Match = true;
    for (size_t I = 0; I + 1 < N && Match; ++I)
      Match = (CaseSensitive ? Tail[I] : AsciiLower(Tail[I])) == Key[I];
    if (!Match) continue;
    Done.resize(Done.size() - N);
    Pending.push_back(0);
  }
  S = std::move(Done);
  return true;
}

}  // namespace

std::string AsciiLowerCase(std::string_view S) {
  std::string R(S);
  for (char& C : R) C = AsciiLower(C);
  return R;
}

std::string AsciiUpperCase(std::string_view S) {
  std::string R(S);
  for (char& C : R) C = AsciiUpper(C);
  return R;
}

bool SameTextAscii(std::string_view A, std::string_view B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return AsciiLower(X) == AsciiLower(Y);
         });
}

bool StartsTextAscii(std::string_view S, std::string_view Prefix) {
  return S.size() >= Prefix.size() && SameTextAscii(S.substr(0, Prefix.size()), Prefix);
}

std::string_view Trim(std::string_view S, std::string_view Set) {
  const size_t B = S.find_first_not_of(Set);
  if (B == std::string_view::npos) return {};
  return S.substr(B, S.find_last_not_of(Set) - B + 1);
}

void StrReplace(std::string& S, std::string_view Pattern, std::string_view Value,
                bool CaseSensitive) {
  if (Pattern.empty()) return;
  const std::string Key = Fold(Pattern, CaseSensitive);
  const std::string FoldedS = Fold(S, CaseSensitive);
  if (FoldedS.find(Key) == std::string::npos) return;
  // A value holding the pattern itself re-creates it at every step, so the
  // restarting search cannot end; other values are searched the restarting way.
  if (Fold(Value, CaseSensitive).find(Key) == std::string::npos &&
      RestartingReplace(
          S, Key, Value, CaseSensitive,
          RestartBudget(S.size(), CountOccurrences(FoldedS, Key), Key.size(), Value.size())))
    return;
  S = ReplaceOnce(S, FoldedS, Key, Value);
}

void StringsReplace(TStrings& Lines, std::string_view Pattern, std::string_view Value,
                    bool CaseSensitive) {
  for (size_t I = Lines.size(); I-- > 0;) StrReplace(Lines[I], Pattern, Value, CaseSensitive);
}

}  // namespace chronark

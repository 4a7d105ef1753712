// chronark-cli: project files from the command line, for scripted invoicing.
// Prints what the program shows, in UTF-8; the files stay Windows-1252.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "common/cp1252.h"
#include "common/exceptions.h"
#include "core/crkm.h"
#include "platform/files/paths.h"
#include "platform/files/projectlock.h"

using namespace chronark;

namespace {

constexpr int ExitOk = 0, ExitError = 1, ExitUsage = 2;

const char* const HelpText =
    "Aufruf: chronark-cli BEFEHL DATEI [ARGUMENTE]\n"
    "\n"
    "Liest und schreibt Chronark-Projektdateien (.crf).\n"
    "\n"
    "Befehle:\n"
    "  list DATEI                         jeden Eintrag so, wie ihn das Programm\n"
    "                                     auflistet, dann \"Gesamt: \" und die Summe\n"
    "  export DATEI AUSGABE               HTML-Export von DATEI nach AUSGABE, mit den\n"
    "                                     Vorlagen aus dem Ordner export/ des Programms\n"
    "  add DATEI BEGINN ENDE [BEMERKUNG]  trägt eine Zeitspanne ein und speichert DATEI\n"
    "                                     (eine fehlende DATEI wird neu angelegt)\n"
    "  csv DATEI                          die Einträge als CSV (RFC 4180, UTF-8)\n"
    "  --help                             zeigt diese Hilfe\n"
    "\n"
    "BEGINN und ENDE in Ortszeit als \"JJJJ-MM-TT HH:MM:SS\", wahlweise mit \".mmm\"\n"
    "(Millisekunden). Die Bemerkung wird auf 255 Zeichen gekürzt.\n"
    "\n"
    "Rückgabewerte: 0 Erfolg, 1 Fehler (Meldung auf der Fehlerausgabe),\n"
    "2 falscher Aufruf.\n";

struct TUsageError {
  std::string Message;
};

void Out(const std::string& Cp1252Line) { std::cout << Cp1252ToUtf8(Cp1252Line) << '\n'; }

bool Digits(const std::string& S, size_t From, size_t Count, int& Value) {
  if (From + Count > S.size()) return false;
  Value = 0;
  for (size_t I = From; I < From + Count; ++I) {
    if (S[I] < '0' || S[I] > '9') return false;
    Value = Value * 10 + (S[I] - '0');
  }
  return true;
}

// "YYYY-MM-DD HH:MM:SS" with an optional fraction of one to three digits.
TDateTime ParseDateTime(const std::string& S) {
  TDateTimeParts P;
  bool Ok = S.size() >= 19 && Digits(S, 0, 4, P.Year) && S[4] == '-' && Digits(S, 5, 2, P.Month) &&
            S[7] == '-' && Digits(S, 8, 2, P.Day) && S[10] == ' ' && Digits(S, 11, 2, P.Hour) &&
            S[13] == ':' && Digits(S, 14, 2, P.Minute) && S[16] == ':' &&
            Digits(S, 17, 2, P.Second);
  if (Ok && S.size() > 19) {
    const size_t Frac = S.size() - 20;
    Ok = S[19] == '.' && Frac >= 1 && Frac <= 3 && Digits(S, 20, Frac, P.Millisecond);
    for (size_t I = Frac; Ok && I < 3; ++I) P.Millisecond *= 10;
  }
  TDateTime V = 0;
  if (!Ok || !TryEncodeDateTime(P, V))
    throw TUsageError{"Ungültige Zeitangabe \"" + S + "\" (erwartet: JJJJ-MM-TT HH:MM:SS[.mmm])"};
  return V;
}

// ISO 8601 local time with UTC offset; milliseconds only when there are some.
std::string IsoDateTime(TDateTime V) {
  TDateTimeParts P;
  int64_t Off;
  if (!DecodeDateTime(V, P) || !LocalUtcOffset(V, Off)) return std::string();
  std::string S = FormatDateTimeParts("%Y-%m-%dT%H:%M:%S", P);
  if (P.Millisecond) {
    char Ms[8];
    std::snprintf(Ms, sizeof Ms, ".%03d", P.Millisecond);
    S += Ms;
  }
  const char Sign = Off < 0 ? '-' : '+';
  if (Off < 0) Off = -Off;
  char Buf[16];
  if (Off % 60)
    std::snprintf(Buf, sizeof Buf, "%c%02d:%02d:%02d", Sign, int(Off / 3600), int(Off / 60 % 60),
                  int(Off % 60));
  else
    std::snprintf(Buf, sizeof Buf, "%c%02d:%02d", Sign, int(Off / 3600), int(Off / 60 % 60));
  return S + Buf;
}

std::string CsvField(const std::string& S) {
  if (S.find_first_of(",\"\r\n") == std::string::npos) return S;
  std::string Q = "\"";
  for (char C : S) {
    if (C == '"') Q += '"';
    Q += C;
  }
  return Q + '"';
}

int List(const std::string& FileName) {
  TChronarkMan Man;
  Man.LoadFromFile(FileName);
  TStrings Lines;
  Man.FillStrings(Lines);
  for (const std::string& L : Lines) Out(L);
  Out("Gesamt: " + Man.GetTotalText());
  return ExitOk;
}

int Export(const std::string& FileName, const std::string& OutName) {
  TChronarkMan Man;
  Man.LoadFromFile(FileName);
  Man.ExportHTML(OutName);
  return ExitOk;
}

int Add(const std::string& FileName, const std::string& Start, const std::string& End,
        const std::string& Remark) {
  const TDateTime StartTime = ParseDateTime(Start), EndTime = ParseDateTime(End);
  // Refused while the program has the project open; other writers wait.
  const TProjectLock Lock = TProjectLock::ForWriting(FileName);
  TChronarkMan Man;
  if (PathPresent(FileName)) Man.LoadFromFile(FileName);
  Man.AddEntry(StartTime, EndTime, Utf8ToCp1252(Remark).substr(0, 255));
  Man.SaveToFile(FileName);
  return ExitOk;
}

int Csv(const std::string& FileName) {
  TChronarkMan Man;
  Man.LoadFromFile(FileName);
  std::string S = "Beginn,Ende,Stunden,Minuten,Bemerkung\r\n";
  for (const TCREntry& E : Man.Entries()) {
    S += CsvField(IsoDateTime(E.StartTime)) + ',' + CsvField(IsoDateTime(E.EndTime)) + ',' +
         IntToStr(E.Hours) + ',' + IntToStr(E.Minutes) + ',' +
         CsvField(Cp1252ToUtf8(E.Comment.View())) + "\r\n";
  }
  std::cout << S;
  return ExitOk;
}

int Run(const std::vector<std::string>& A) {
  // "--help" after a command asks for help too, rather than naming a file.
  for (const std::string& Arg : A)
    if (Arg == "--help" || Arg == "-h") {
      std::cout << HelpText;
      return ExitOk;
    }
  if (A.empty()) throw TUsageError{"Kein Befehl angegeben."};
  const std::string& Cmd = A[0];
  if (Cmd == "list" && A.size() == 2) return List(A[1]);
  if (Cmd == "export" && A.size() == 3) return Export(A[1], A[2]);
  if (Cmd == "add" && (A.size() == 4 || A.size() == 5))
    return Add(A[1], A[2], A[3], A.size() == 5 ? A[4] : "");
  if (Cmd == "csv" && A.size() == 2) return Csv(A[1]);
  if (Cmd == "list" || Cmd == "export" || Cmd == "add" || Cmd == "csv")
    throw TUsageError{"Falsche Anzahl von Argumenten für \"" + Cmd + "\"."};
  throw TUsageError{"Unbekannter Befehl \"" + Cmd + "\"."};
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");  // the user's date and time formats
  try {
    const int Code = Run(std::vector<std::string>(argv + 1, argv + argc));
    std::cout.flush();
    if (!std::cout) {
      std::cerr << "Cannot write to standard output\n";
      return ExitError;
    }
    return Code;
  } catch (const TUsageError& E) {
    std::cerr << "chronark-cli: " << E.Message << "\nHilfe: chronark-cli --help\n";
    return ExitUsage;
  } catch (const std::exception& E) {
    std::cout.flush();
    std::cerr << E.what() << '\n';
    return ExitError;
  }
}

// chronark-cli: project files from the command line, for scripted invoicing.
// Prints what the program shows, in UTF-8; the files stay Windows-1252.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/cp1252.h"
#include "common/exceptions.h"
#include "core/crkm.h"
#include "platform/files/paths.h"
#include "tools/chronark-cli/help.h"
#include "tools/chronark-cli/report.h"

using namespace chronark;
using namespace chronark::cli;

namespace {

constexpr int ExitOk = 0, ExitError = 1, ExitUsage = 2;

struct TUsageError {
  std::string Message;
};

// A failure of one of the newer commands, already in German words.
struct TCliError : Exception {
  using Exception::Exception;
};

// The command line after the command: positional arguments and options.
// Options are "--name VALUE", "--name=VALUE" or flags; "--" ends them.
struct TArgs {
  std::vector<std::string> Positional;
  std::map<std::string, std::string> Values;

  bool Has(const std::string& Name) const { return Values.count(Name) != 0; }
  std::optional<std::string> Get(const std::string& Name) const {
    const auto It = Values.find(Name);
    return It == Values.end() ? std::nullopt : std::optional<std::string>(It->second);
  }
};

struct TOptionSpec {
  std::vector<std::string> WithValue, Flags;
  // The older commands took every argument as it came (a remark may start
  // with "--"); only their new options are picked out.
  bool Strict = true;
};

TArgs ParseArgs(const std::string& Cmd, const std::vector<std::string>& A, const TOptionSpec& S) {
  auto In = [](const std::vector<std::string>& L, const std::string& N) {
    for (const std::string& X : L)
      if (X == N) return true;
    return false;
  };
  TArgs R;
  bool Options = true;
  for (size_t I = 1; I < A.size(); ++I) {
    const std::string& Arg = A[I];
    if (!Options || Arg.size() < 3 || Arg.compare(0, 2, "--") != 0) {
      R.Positional.push_back(Arg);
      continue;
    }
    if (Arg == "--" && S.Strict) {
      Options = false;
      continue;
    }
    const size_t Eq = Arg.find('=');
    const std::string Name = Arg.substr(0, Eq);
    const bool Value = In(S.WithValue, Name), Flag = In(S.Flags, Name);
    if (!Value && !Flag) {
      if (!S.Strict) {
        R.Positional.push_back(Arg);
        continue;
      }
      throw TUsageError{"Unbekannte Option \"" + Name + "\" für \"" + Cmd + "\"."};
    }
    if (R.Has(Name)) throw TUsageError{"Option \"" + Name + "\" ist mehrfach angegeben."};
    if (Flag) {
      if (Eq != std::string::npos) throw TUsageError{"Option \"" + Name + "\" nimmt keinen Wert."};
      R.Values[Name] = "";
    } else if (Eq != std::string::npos) {
      R.Values[Name] = Arg.substr(Eq + 1);
    } else if (I + 1 < A.size()) {
      R.Values[Name] = A[++I];
    } else {
      throw TUsageError{"Option \"" + Name + "\" braucht einen Wert."};
    }
  }
  return R;
}

void ExpectPositional(const std::string& Cmd, const TArgs& Args, size_t Min, size_t Max) {
  if (Args.Positional.size() < Min || Args.Positional.size() > Max)
    throw TUsageError{"Falsche Anzahl von Argumenten für \"" + Cmd + "\"."};
}

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

// "YYYY-MM-DD" as its DateKey; Option names the option for the message.
int64_t ParseDate(const std::string& Option, const std::string& S) {
  TDateTimeParts P;
  TDateTime V;
  if (S.size() != 10 || !Digits(S, 0, 4, P.Year) || S[4] != '-' || !Digits(S, 5, 2, P.Month) ||
      S[7] != '-' || !Digits(S, 8, 2, P.Day) || !TryEncodeDateTime(P, V))
    throw TUsageError{"Ungültiges Datum \"" + S + "\" bei " + Option + " (erwartet: JJJJ-MM-TT)"};
  return DateKey(P.Year, P.Month, P.Day);
}

// The entry number N, counting from 1 as "list --numbers" shows it.
size_t ParseNumber(const std::string& S) {
  if (S.empty() || S.size() > 18 || S.find_first_not_of("0123456789") != std::string::npos ||
      S.find_first_not_of('0') == std::string::npos)
    throw TUsageError{"Ungültige Eintragsnummer \"" + S + "\" (die Einträge zählen ab 1)"};
  return size_t(std::stoull(S));
}

// A moment on the local clock as a number that sorts like the moments, also
// before 1899, where the date-time value's fraction counts backwards.
bool LocalMoment(TDateTime V, int64_t& Moment) {
  TDateTimeParts P;
  if (!DecodeDateTime(V, P)) return false;
  Moment = DateKey(P.Year, P.Month, P.Day) * 86400000 +
           ((int64_t(P.Hour) * 60 + P.Minute) * 60 + P.Second) * 1000 + P.Millisecond;
  return true;
}

std::string Quoted(const std::string& FileName) { return "\"" + FileName + "\""; }

// The newer commands say in German what went wrong with the file.
void LoadProject(TChronarkMan& Man, const std::string& FileName, bool ForWriting) {
  try {
    Man.LoadFromFile(FileName, ForWriting);
  } catch (const EInOutError& E) {
    throw TCliError(
        "Die Projektdatei " + Quoted(FileName) +
        (ForWriting ? " kann nicht zum Ändern geöffnet werden: " : " kann nicht gelesen werden: ") +
        SysErrorMessage(E.ErrorCode()));
  }
}

void SaveProject(const TChronarkMan& Man, const std::string& FileName) {
  try {
    Man.SaveToFile(FileName);
  } catch (const EInOutError& E) {
    throw TCliError("Die Projektdatei " + Quoted(FileName) +
                    " kann nicht gespeichert werden; sie bleibt unverändert: " +
                    SysErrorMessage(E.ErrorCode()));
  }
}

// Every command that changes a project takes this before it reads the file
// and holds it until the file is saved: the one place to refuse a project
// the program has open (and to keep other writers out meanwhile).
struct TChangeGuard {};
[[nodiscard]] TChangeGuard OpenForChange(const std::string& FileName) {
  (void)FileName;
  return {};
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

// Whether an output file name leads to a terminal (such as /dev/stdout or
// /dev/tty while the user watches).
bool IsTerminal(const std::string& FileName) {
  struct stat St;
  if (::stat(FileName.c_str(), &St) != 0 || !S_ISCHR(St.st_mode)) return false;
  const int Fd = ::open(FileName.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) return false;
  const bool Tty = ::isatty(Fd) == 1;
  ::close(Fd);
  return Tty;
}

void Write(const std::string& Text) { std::cout.write(Text.data(), std::streamsize(Text.size())); }

int List(const std::vector<std::string>& A) {
  const TArgs Args = ParseArgs("list", A, {{}, {"--numbers"}, false});
  ExpectPositional("list", Args, 1, 1);
  TChronarkMan Man;
  Man.LoadFromFile(Args.Positional[0]);
  TStrings Lines;
  Man.FillStrings(Lines);
  const bool Numbers = Args.Has("--numbers");
  const size_t Width = IntToStr(int64_t(Lines.size())).size();
  std::string Out;
  for (size_t I = 0; I < Lines.size(); ++I) {
    if (Numbers) {
      const std::string N = IntToStr(int64_t(I) + 1);
      Out.append(Width - N.size(), ' ');
      Out += N + ": ";
    }
    // Remarks may hold any bytes; none of them may steer the terminal or
    // pass for a line of their own.
    Out += Cp1252ToUtf8(WithoutControls(Lines[I]));
    Out += '\n';
    if (Out.size() >= (1u << 20)) {
      Write(Out);
      Out.clear();
    }
  }
  Write(Out + "Gesamt: " + Man.GetTotalText() + '\n');
  return ExitOk;
}

int Export(const std::vector<std::string>& A) {
  const TArgs Args = ParseArgs("export", A, {{}, {}, false});
  ExpectPositional("export", Args, 2, 2);
  TChronarkMan Man;
  Man.LoadFromFile(Args.Positional[0]);
  if (IsTerminal(Args.Positional[1])) {
    TChronarkMan Shown;
    for (const TCREntry& E : Man.Entries()) {
      TCREntry C = E;
      C.Comment.Assign(WithoutControls(E.Comment.View()));
      Shown.AddRecord(C);
    }
    Shown.ExportHTML(Args.Positional[1]);
  } else {
    Man.ExportHTML(Args.Positional[1]);
  }
  return ExitOk;
}

int Add(const std::vector<std::string>& A) {
  const TArgs Args = ParseArgs("add", A, {{}, {}, false});
  ExpectPositional("add", Args, 3, 4);
  const std::string& FileName = Args.Positional[0];
  const TDateTime StartTime = ParseDateTime(Args.Positional[1]),
                  EndTime = ParseDateTime(Args.Positional[2]);
  const std::string Remark = Args.Positional.size() == 4 ? Args.Positional[3] : "";
  [[maybe_unused]] const auto Guard = OpenForChange(FileName);
  TChronarkMan Man;
  if (FileExists(FileName)) Man.LoadFromFile(FileName);
  Man.AddEntry(StartTime, EndTime, Utf8ToCp1252(Remark).substr(0, 255));
  Man.SaveToFile(FileName);
  return ExitOk;
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

int Csv(const std::vector<std::string>& A) {
  const TArgs Args = ParseArgs("csv", A, {{}, {}, false});
  ExpectPositional("csv", Args, 1, 1);
  TChronarkMan Man;
  Man.LoadFromFile(Args.Positional[0]);
  const bool Terminal = StdoutIsTerminal();
  std::string S = "Beginn,Ende,Stunden,Minuten,Bemerkung\r\n";
  for (const TCREntry& E : Man.Entries()) {
    const std::string Remark =
        Terminal ? WithoutControls(E.Comment.View()) : std::string(E.Comment.View());
    S += CsvField(IsoDateTime(E.StartTime)) + ',' + CsvField(IsoDateTime(E.EndTime)) + ',' +
         IntToStr(E.Hours) + ',' + IntToStr(E.Minutes) + ',' + CsvField(Cp1252ToUtf8(Remark)) +
         "\r\n";
  }
  std::cout << S;
  return ExitOk;
}

int Summary(const std::vector<std::string>& A) {
  const TArgs Args = ParseArgs("summary", A, {{"--by", "--from", "--to"}, {}});
  ExpectPositional("summary", Args, 1, 1);
  TSummaryOptions O;
  if (const auto By = Args.Get("--by")) {
    if (*By == "day")
      O.By = TPeriodKind::Day;
    else if (*By == "week")
      O.By = TPeriodKind::Week;
    else if (*By == "month")
      O.By = TPeriodKind::Month;
    else
      throw TUsageError{"Ungültiger Zeitraum \"" + *By + "\" bei --by (day, week oder month)"};
  }
  if (const auto From = Args.Get("--from")) O.From = ParseDate("--from", *From);
  if (const auto To = Args.Get("--to")) O.To = ParseDate("--to", *To);
  if (O.From > O.To) throw TUsageError{"Das Datum bei --from liegt nach dem bei --to."};
  TChronarkMan Man;
  LoadProject(Man, Args.Positional[0], false);
  Write(cli::Summary(Man.Entries(), O));
  return ExitOk;
}

int Json(const std::vector<std::string>& A) {
  const TArgs Args = ParseArgs("json", A, {{}, {"--timewarrior"}});
  ExpectPositional("json", Args, 1, 1);
  TChronarkMan Man;
  LoadProject(Man, Args.Positional[0], false);
  if (!Args.Has("--timewarrior")) {
    WriteJson(Man.Entries(), std::cout);
    return ExitOk;
  }
  const std::vector<size_t> Skipped = WriteTimewarrior(Man.Entries(), std::cout);
  if (Skipped.empty()) return ExitOk;
  std::string Numbers;
  for (size_t I = 0; I < Skipped.size() && I < 20; ++I)
    Numbers += (I ? ", " : "") + IntToStr(int64_t(Skipped[I]));
  if (Skipped.size() > 20) Numbers += ", …";
  std::cout.flush();
  throw TCliError(std::string(Skipped.size() == 1 ? "Eintrag " : "Einträge ") + Numbers +
                  " ohne darstellbaren Zeitpunkt; nicht ausgegeben.");
}

// The entry N of a loaded project, or a German error naming the count.
size_t CheckNumber(const TChronarkMan& Man, const std::string& FileName, size_t N) {
  const size_t Count = Man.Entries().size();
  if (N > Count)
    throw TCliError("Die Projektdatei " + Quoted(FileName) + " hat keinen Eintrag " +
                    IntToStr(int64_t(N)) + " (sie hat " + IntToStr(int64_t(Count)) +
                    (Count == 1 ? " Eintrag)." : " Einträge)."));
  return N - 1;
}

int Edit(const std::vector<std::string>& A) {
  const TArgs Args = ParseArgs("edit", A, {{"--start", "--end", "--remark"}, {}});
  ExpectPositional("edit", Args, 2, 2);
  const std::string& FileName = Args.Positional[0];
  const size_t N = ParseNumber(Args.Positional[1]);
  const auto Start = Args.Get("--start"), End = Args.Get("--end"), Remark = Args.Get("--remark");
  if (!Start && !End && !Remark)
    throw TUsageError{"Nichts zu ändern: --start, --end oder --remark angeben."};
  // Checked before the file is touched; a bad time changes nothing.
  const TDateTime StartTime = Start ? ParseDateTime(*Start) : 0,
                  EndTime = End ? ParseDateTime(*End) : 0;

  [[maybe_unused]] const auto Guard = OpenForChange(FileName);
  TChronarkMan Man;
  LoadProject(Man, FileName, true);
  const size_t Index = CheckNumber(Man, FileName, N);
  TCREntry E = Man.Entries()[Index];
  if (Start || End) {
    const TDateTime S = Start ? StartTime : E.StartTime, En = End ? EndTime : E.EndTime;
    int64_t SM = 0, EM = 0;
    const bool StartOk = LocalMoment(S, SM), EndOk = LocalMoment(En, EM);
    if (!StartOk || !EndOk)
      throw TCliError("Eintrag " + IntToStr(int64_t(N)) + " hat " +
                      (StartOk ? "kein gültiges Ende" : "keinen gültigen Beginn") +
                      "; bitte --start und --end angeben.");
    if (EM < SM)
      throw TCliError("Das Ende (" + Cp1252ToUtf8(DateTimeToStr(En)) + ") liegt vor dem Beginn (" +
                      Cp1252ToUtf8(DateTimeToStr(S)) + ").");
    // The same arithmetic as recording an interval.
    E.StartTime = S;
    E.EndTime = En;
    ComputeDuration(S, En, E.Hours, E.Minutes);
  }
  if (Remark) E.Comment.Assign(Utf8ToCp1252(*Remark).substr(0, 255));

  // The manager changes no times of an entry: a new list with the one
  // entry replaced is saved instead.
  TChronarkMan Changed;
  for (size_t I = 0; I < Man.Entries().size(); ++I)
    Changed.AddRecord(I == Index ? E : Man.Entries()[I]);
  SaveProject(Changed, FileName);
  return ExitOk;
}

int Delete(const std::vector<std::string>& A) {
  const TArgs Args = ParseArgs("delete", A, {{}, {}});
  ExpectPositional("delete", Args, 2, 2);
  const std::string& FileName = Args.Positional[0];
  const size_t N = ParseNumber(Args.Positional[1]);
  [[maybe_unused]] const auto Guard = OpenForChange(FileName);
  TChronarkMan Man;
  LoadProject(Man, FileName, true);
  Man.Delete(int32_t(CheckNumber(Man, FileName, N)));
  SaveProject(Man, FileName);
  return ExitOk;
}

struct TCommand {
  const char* Name;
  int (*Run)(const std::vector<std::string>&);
};

const TCommand Commands[] = {{"list", List}, {"export", Export},   {"add", Add},
                             {"csv", Csv},   {"summary", Summary}, {"json", Json},
                             {"edit", Edit}, {"delete", Delete}};

int Run(const std::vector<std::string>& A) {
  // "--help" after a command asks for that command's help, rather than
  // naming a file.
  for (const std::string& Arg : A)
    if (Arg == "--help" || Arg == "-h") {
      std::cout << CommandHelp(A[0] == Arg ? "" : A[0]);
      return ExitOk;
    }
  if (A.empty()) throw TUsageError{"Kein Befehl angegeben."};
  for (const TCommand& C : Commands)
    if (A[0] == C.Name) return C.Run(A);
  throw TUsageError{"Unbekannter Befehl \"" + A[0] + "\"."};
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

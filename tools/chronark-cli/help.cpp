#include "tools/chronark-cli/help.h"

#include <cstring>

namespace chronark::cli {

namespace {

const char* const Overview =
    "Aufruf: chronark-cli BEFEHL DATEI [ARGUMENTE]\n"
    "\n"
    "Liest und schreibt Chronark-Projektdateien (.crf).\n"
    "\n"
    "Befehle:\n"
    "  list DATEI [--numbers]             jeden Eintrag so, wie ihn das Programm\n"
    "                                     auflistet, dann \"Gesamt: \" und die Summe\n"
    "  export DATEI AUSGABE               HTML-Export von DATEI nach AUSGABE, mit den\n"
    "                                     Vorlagen aus dem Ordner export/ des Programms\n"
    "  add DATEI BEGINN ENDE [BEMERKUNG]  trägt eine Zeitspanne ein und speichert DATEI\n"
    "                                     (eine fehlende DATEI wird neu angelegt)\n"
    "  csv DATEI                          die Einträge als CSV (RFC 4180, UTF-8)\n"
    "  summary DATEI [--by day|week|month] [--from DATUM] [--to DATUM]\n"
    "                                     Summen je Tag, Woche oder Monat\n"
    "  json DATEI [--timewarrior]         die Einträge als JSON\n"
    "  edit DATEI N [--start BEGINN] [--end ENDE] [--remark BEMERKUNG]\n"
    "                                     ändert Eintrag N und speichert DATEI\n"
    "  delete DATEI N                     löscht Eintrag N und speichert DATEI\n"
    "  --help                             zeigt diese Hilfe\n"
    "  BEFEHL --help                      zeigt die Hilfe zu einem Befehl\n"
    "\n"
    "BEGINN und ENDE in Ortszeit als \"JJJJ-MM-TT HH:MM:SS\", wahlweise mit \".mmm\"\n"
    "(Millisekunden). Die Bemerkung wird auf 255 Zeichen gekürzt. N zählt ab 1,\n"
    "wie \"list --numbers\" die Einträge nummeriert.\n"
    "\n"
    "Rückgabewerte: 0 Erfolg, 1 Fehler (Meldung auf der Fehlerausgabe),\n"
    "2 falscher Aufruf.\n";

const char* const Footer =
    "\n"
    "Rückgabewerte: 0 Erfolg, 1 Fehler (Meldung auf der Fehlerausgabe),\n"
    "2 falscher Aufruf. Übersicht aller Befehle: chronark-cli --help\n";

struct TCommandHelp {
  const char* Name;
  const char* Text;
};

const TCommandHelp Helps[] = {
    {"list",
     "Aufruf: chronark-cli list DATEI [--numbers]\n"
     "\n"
     "Zeigt jeden Eintrag von DATEI so, wie ihn das Programm auflistet, und zuletzt\n"
     "\"Gesamt: \" mit der Summe. Steuerzeichen in Bemerkungen erscheinen als \"?\".\n"
     "\n"
     "  --numbers   stellt jeder Zeile ihre Nummer voran (ab 1), die edit und\n"
     "              delete als N erwarten\n"},
    {"export",
     "Aufruf: chronark-cli export DATEI AUSGABE\n"
     "\n"
     "Schreibt den HTML-Export von DATEI nach AUSGABE, mit den Vorlagen aus dem\n"
     "Ordner export/ des Programms. AUSGABE /dev/stdout schreibt auf die\n"
     "Standardausgabe.\n"},
    {"add",
     "Aufruf: chronark-cli add DATEI BEGINN ENDE [BEMERKUNG]\n"
     "\n"
     "Trägt eine Zeitspanne ein und speichert DATEI (eine fehlende DATEI wird neu\n"
     "angelegt). Die Dauer wird wie beim Stoppen im Programm berechnet; jede\n"
     "angefangene Minute zählt.\n"
     "\n"
     "BEGINN und ENDE in Ortszeit als \"JJJJ-MM-TT HH:MM:SS\", wahlweise mit \".mmm\"\n"
     "(Millisekunden). Die Bemerkung wird auf 255 Zeichen gekürzt.\n"},
    {"csv",
     "Aufruf: chronark-cli csv DATEI\n"
     "\n"
     "Gibt die Einträge als CSV aus (RFC 4180, UTF-8): Beginn, Ende, Stunden,\n"
     "Minuten, Bemerkung; Zeitpunkte nach ISO 8601 mit Abstand zu UTC.\n"},
    {"summary",
     "Aufruf: chronark-cli summary DATEI [--by day|week|month] [--from DATUM]\n"
     "                                  [--to DATUM]\n"
     "\n"
     "Summiert die Einträge je Zeitraum: eine Zeile je Tag (\"07.12.2026\"),\n"
     "Kalenderwoche nach ISO 8601 (\"KW 49/2026\") oder Monat (\"Dezember 2026\"), der\n"
     "Einträge hat, mit ihrer Anzahl, der Summe in Stunden und Minuten und der\n"
     "Summe in Dezimalstunden (\"1,75 h\"); zuletzt \"Gesamt:\". Ein Eintrag zählt zum\n"
     "Zeitraum seines Beginns. Einträge ohne darstellbaren Beginn stehen in einer\n"
     "eigenen Zeile \"(ungültig)\" und zählen zur Gesamtsumme.\n"
     "\n"
     "  --by day|week|month   Tage (Vorgabe), Kalenderwochen oder Monate\n"
     "  --from DATUM          nur Einträge, die an DATUM oder später beginnen\n"
     "  --to DATUM            nur Einträge, die an DATUM oder früher beginnen\n"
     "\n"
     "DATUM als \"JJJJ-MM-TT\". Beispiel für eine Monatsrechnung:\n"
     "  chronark-cli summary kunde.crf --by week --from 2026-11-01 --to 2026-11-30\n"},
    {"json",
     "Aufruf: chronark-cli json DATEI [--timewarrior]\n"
     "\n"
     "Gibt die Einträge als JSON-Array in Dateireihenfolge aus: index (ab 1),\n"
     "start und end (ISO 8601, Ortszeit mit Abstand zu UTC), hours, minutes und\n"
     "remark (UTF-8). Ein nicht darstellbarer Zeitpunkt ist null.\n"
     "\n"
     "  --timewarrior   im Format, das \"timew import\" liest: start und end in UTC\n"
     "                  (JJJJMMTTTHHMMSSZ), die Bemerkung als annotation. Einträge\n"
     "                  ohne darstellbaren Zeitpunkt fehlen dann; sie werden auf der\n"
     "                  Fehlerausgabe genannt (Rückgabewert 1).\n"},
    {"edit",
     "Aufruf: chronark-cli edit DATEI N [--start BEGINN] [--end ENDE]\n"
     "                               [--remark BEMERKUNG]\n"
     "\n"
     "Ändert Eintrag N (ab 1, wie \"list --numbers\" zählt) und speichert DATEI.\n"
     "Mit --start oder --end werden Stunden und Minuten neu berechnet, genau wie\n"
     "beim Stoppen im Programm; das Ende darf nicht vor dem Beginn liegen. Nur\n"
     "--remark lässt die Dauer unverändert; --remark \"\" löscht die Bemerkung.\n"
     "\n"
     "BEGINN und ENDE in Ortszeit als \"JJJJ-MM-TT HH:MM:SS\", wahlweise mit \".mmm\"\n"
     "(Millisekunden). Die Bemerkung wird auf 255 Zeichen gekürzt.\n"},
    {"delete",
     "Aufruf: chronark-cli delete DATEI N\n"
     "\n"
     "Löscht Eintrag N (ab 1, wie \"list --numbers\" zählt) und speichert DATEI.\n"},
};

}  // namespace

std::string CommandHelp(const std::string& Command) {
  for (const TCommandHelp& H : Helps)
    if (Command == H.Name) return std::string(H.Text) + Footer;
  return Overview;
}

}  // namespace chronark::cli

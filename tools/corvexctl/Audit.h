#pragma once
// The audit trail from the command line: every change corvexctl is asked for is recorded once
// it has ended (who: the local account; from: "local" with its uid), and `corvexctl audit`
// lists the trail that both consoles keep.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvexctl {

struct Change
{
  std::string action;  // in the trail's words: "group-create", "refresh", ...
  std::string target;  // the command's arguments
};

// The change a command line asks for, or none for a command that only reads (or one that keeps
// to files on this machine, as `agent` does). `args` begins with the command.
std::optional<Change> ChangeOf(const std::vector<std::string>& args);

// Runs the command and records it with its outcome: exit status 0 done, 2 (a command line the
// command refused) refused, anything else failed, with the last error noted. When the entry
// cannot be written, says so on standard error and answers 1 if the command itself succeeded.
int Audited(const Change& change, const std::function<int()>& run);

// The error a command ended with, kept for its audit entry.
void NoteFailure(const std::string& message);

// `corvexctl audit [--since T] [--until T] [--account A] [--action X] [--limit N] [--csv]`.
int Audit(const std::vector<std::string>& args);

// One CSV cell: quoted when it holds a quote, comma, CR or LF; a text a spreadsheet would run
// as a formula gets a leading apostrophe.
std::string CsvCell(const std::string& text);

}  // namespace corvexctl

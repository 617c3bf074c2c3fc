#pragma once
// The audit trail as the web console keeps and shows it: every change request, once its answer
// is known, becomes one entry (who, from where, what, how it ended); the trail is read back in
// pages and exported as CSV.
#include <string>

#include <nlohmann/json.hpp>

#include "web/ConsoleData.h"
#include "web/CsvExport.h"

namespace corvexweb {

struct AuditEntry
{
  std::string account;
  std::string source;  // the client's address
  std::string action;
  std::string target;
  std::string detail;
  std::string outcome;  // "done", "refused" or "failed"
  std::string outcomeText;
};

struct AuditQuery
{
  std::string account;  // empty: every account
  std::string action;   // empty: every action; else actions beginning with it
  std::string since;    // "YYYY-MM-DD HH:MM:SS" (UTC) or empty
  std::string until;
  int offset = 0;
  int count = 100;
};

// A time filter as given ("YYYY-MM-DD", optionally with "T" or " " and "HH:MM[:SS]" and a
// trailing "Z") in the database's form, "" for an empty text; an ApiError 400 naming `name`
// otherwise.
std::string AuditTime(const std::string& text, const char* name);

// What a change request asked, in the trail's words: its action, target and detail from the
// path and the body, its outcome from the answer's status and body. Secrets in the body
// (passwords) and large documents never reach the entry.
AuditEntry DescribeChange(const std::string& path, const std::string& body, int status, const std::string& answer);

class ConsoleAudit
{
public:
  explicit ConsoleAudit(ConsoleData& data) : m_data(data) {}

  // Stores the entry; throws when it cannot (the caller must not let that pass unseen).
  void Write(const AuditEntry& entry);
  // {"total": n, "offset": o, "rows": [...]}, newest first.
  nlohmann::json Page(const AuditQuery& query);
  // The whole filtered trail, newest first, read in pieces.
  CsvPager Csv(const AuditQuery& query);

  static const std::vector<std::string>& Columns();

private:
  // Rows of the trail from `offset` of those older than entry `before` (0: from the newest);
  // the count of all that match when `total` is given.
  nlohmann::json Piece(const AuditQuery& query, long long before, int offset, int count, int* total);

  ConsoleData& m_data;
};

}  // namespace corvexweb

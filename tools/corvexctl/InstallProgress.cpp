#include "tools/corvexctl/InstallProgress.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "platform/com/Variant.h"
#include "platform/text/Unicode.h"
#include "tools/corvexctl/Arguments.h"

namespace corvexctl {
namespace {

constexpr int kBarWidth = 24;
const char* const kStages[] = {"queued", "connecting", "copying", "running", "done", "failed", "stopped"};

std::atomic<bool> g_interrupted{false};

bool IsNull(const _variant_t& v) { return v.vt == VT_NULL || v.vt == VT_EMPTY; }

std::string Text(const _variant_t& v) { return IsNull(v) ? std::string() : ToUtf8(v.ToWString()); }

std::string Label(LONG id, const InstallAttempt* attempt)
{
  return (attempt && !attempt->name.empty() ? attempt->name : "computer") + " (id " + std::to_string(id) + ")";
}

// One stage as a plain line's end: "failed: 47 the target computer ...".
std::string StageText(const InstallStageRow& row)
{
  if (row.stage == "failed")
    return "failed: " + (row.result ? std::to_string(*row.result) + " " : std::string()) + row.cause;
  if (row.stage == "stopped")
    return "stopped: " + row.cause;
  return row.stage;
}

std::string OutcomeText(const InstallAttempt& a)
{
  if (a.interrupted)
    return "interrupted at " + a.Last().stage + " (the service stopped under it)";
  return StageText(a.Last());
}

}  // namespace

bool InstallAttempt::Finished() const
{
  return interrupted || (!stages.empty() && (Last().stage == "done" || Last().stage == "failed" || Last().stage == "stopped"));
}

bool InstallAttempt::Failed() const
{
  return interrupted || (!stages.empty() && (Last().stage == "failed" || Last().stage == "stopped"));
}

std::map<LONG, InstallAttempt> ReadInstallProgress(const std::vector<LONG>& ids, std::optional<LONG> hours,
                                                   std::optional<LONG> limit)
{
  COurCommand cmd(GetDatabaseConnection().GetADOPtr(), "InstallProgressGet");
  if (ids.empty()) {
    cmd.SetAttributeNull(L"@ComputerIDList");
  } else {
    std::wstring list;
    for (LONG id : ids)
      list += (list.empty() ? L"" : L",") + std::to_wstring(id);
    cmd.SetAttribute(L"@ComputerIDList", list);
  }
  if (hours)
    cmd.SetAttribute(L"@Hours", *hours);
  else
    cmd.SetAttributeNull(L"@Hours");
  if (limit)
    cmd.SetAttribute(L"@Limit", *limit);
  else
    cmd.SetAttributeNull(L"@Limit");
  ado::RecordsetPtr rows = cmd.ExecuteCommandWithRecordset();
  CSPException::Check(cmd.GetReturnValue());
  std::map<LONG, InstallAttempt> attempts;
  for (; rows && !rows->IsEOF(); rows->MoveNext()) {
    const ado::Fields f = rows->GetFields();
    const LONG id = priv::GetFieldValue(f, L"ComputerID").ToLong();
    InstallAttempt& a = attempts[id];
    a.id = id;
    a.name = Text(priv::GetFieldValue(f, L"ComputerName"));
    a.attempt = priv::GetFieldValue(f, L"Attempt").ToLongLong();
    if (priv::GetFieldValue(f, L"Interrupted").ToLong() != 0)
      a.interrupted = true;
    InstallStageRow row;
    row.stage = Text(priv::GetFieldValue(f, L"Stage"));
    if (const _variant_t r = priv::GetFieldValue(f, L"Result"); !IsNull(r))
      row.result = r.ToLong();
    row.cause = Text(priv::GetFieldValue(f, L"Cause"));
    row.time = Text(priv::GetFieldValue(f, L"StageTime"));
    a.stages.push_back(std::move(row));
  }
  if (rows)
    rows->Close();
  return attempts;
}

int FollowInstalls(const std::vector<LONG>& ids, const std::map<LONG, long long>& before, bool terminal,
                   const std::atomic<bool>& stop, std::FILE* out, unsigned pollMs)
{
  std::map<LONG, std::size_t> shown;  // stages already printed per computer
  std::set<LONG> notQueued, finished;
  bool anyFailed = false;
  bool first = true;
  bool barShown = false;
  for (;;) {
    const std::map<LONG, InstallAttempt> now = ReadInstallProgress(ids);
    std::map<std::string, int> counts;
    for (LONG id : ids) {
      if (finished.count(id) || notQueued.count(id))
        continue;
      const auto it = now.find(id);
      const auto was = before.find(id);
      const bool fresh = it != now.end() && (was == before.end() || it->second.attempt != was->second);
      if (!fresh) {
        // The service queues every computer it can before it answers: one that has no new
        // attempt at the first look was refused.
        if (first) {
          notQueued.insert(id);
          anyFailed = true;
          if (terminal && barShown)
            std::fputs("\r\033[K", out);
          std::fprintf(out, "install: %s not queued: it cannot be installed remotely (the service's trace says why)\n",
                       Label(id, it == now.end() ? nullptr : &it->second).c_str());
        }
        continue;
      }
      const InstallAttempt& a = it->second;
      std::size_t& printed = shown[id];
      if (!terminal) {
        for (; printed < a.stages.size(); ++printed)
          std::fprintf(out, "install: %s %s\n", Label(id, &a).c_str(), StageText(a.stages[printed]).c_str());
        if (a.interrupted && !finished.count(id))
          std::fprintf(out, "install: %s %s\n", Label(id, &a).c_str(), OutcomeText(a).c_str());
      } else if (a.Finished()) {
        std::fprintf(out, "%sinstall: %s %s\n", barShown ? "\r\033[K" : "", Label(id, &a).c_str(), OutcomeText(a).c_str());
      }
      if (a.Finished()) {
        finished.insert(id);
        anyFailed = anyFailed || a.Failed();
      } else {
        ++counts[a.Last().stage];
      }
    }
    first = false;
    const std::size_t total = ids.size() - notQueued.size();
    const bool allDone = finished.size() == total;
    if (terminal && total > 0 && !allDone) {
      const int filled = static_cast<int>(kBarWidth * finished.size() / total);
      std::string line = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                         std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                         std::to_string(finished.size()) + "/" + std::to_string(total) + " finished";
      for (const char* s : kStages)
        if (counts.count(s))
          line += "  " + std::string(s) + " " + std::to_string(counts[s]);
      std::fprintf(out, "%s\033[K", line.c_str());
      barShown = true;
    }
    std::fflush(out);
    if (allDone)
      break;
    if (stop) {
      if (terminal && barShown)
        std::fputs("\r\033[K", out);
      std::fprintf(out, "install: stopped watching; the installs go on in the service "
                        "(corvexctl install progress --wait follows them again)\n");
      std::fflush(out);
      return 130;
    }
    for (unsigned waited = 0; waited < pollMs && !stop; waited += 50)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::fprintf(out, "install: %zu computer(s) finished, %zu not queued%s\n", finished.size(), notQueued.size(),
               anyFailed ? ", some failed" : ", all installed");
  std::fflush(out);
  return anyFailed ? 1 : 0;
}

int FollowInstallsInterruptible(const std::vector<LONG>& ids, const std::map<LONG, long long>& before)
{
  // Ctrl-C ends the watching only: the installs are the service's work, queued one per interval
  // and possibly for other consoles too, and a started setup cannot be called back anyway;
  // "install-stop" drops what still waits.
  struct sigaction action{};
  action.sa_handler = [](int) { g_interrupted = true; };
  ::sigaction(SIGINT, &action, nullptr);
  return FollowInstalls(ids, before, ::isatty(STDOUT_FILENO) != 0, g_interrupted);
}

int InstallProgress(const std::vector<std::string>& args)
{
  bool wait = false;
  std::vector<LONG> ids;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--wait") {
      wait = true;
      continue;
    }
    const long id = Number(args[i].c_str());
    if (id < 0 || id > 0x7FFFFFFF) {
      std::fprintf(stderr, "corvexctl: install progress: \"%s\" is not a computer ID\n"
                           "usage: corvexctl install progress [--wait] [ID...]\n",
                   args[i].c_str());
      return 2;
    }
    ids.push_back(static_cast<LONG>(id));
  }
  // Without IDs: the 1,000 attempts that moved last within the last day.
  const std::map<LONG, InstallAttempt> now =
    ids.empty() ? ReadInstallProgress(ids, 24, 1000) : ReadInstallProgress(ids);
  if (!wait) {
    if (now.empty())
      std::printf("no install attempts%s\n", ids.empty() ? " in the last 24 hours" : " for these computers");
    else if (ids.empty() && now.size() == 1000)
      std::printf("the 1000 attempts that moved last:\n");
    for (const auto& [id, a] : now) {
      std::printf("%ld\t%s\t%s\t%s\n", static_cast<long>(id), a.name.c_str(),
                  a.Finished() ? OutcomeText(a).c_str() : a.Last().stage.c_str(), a.Last().time.c_str());
    }
    for (LONG id : ids)
      if (!now.count(id))
        std::printf("%ld\t-\tno attempt\t-\n", static_cast<long>(id));
    return 0;
  }
  std::vector<LONG> follow;
  for (const auto& [id, a] : now)
    if (ids.empty() ? !a.Finished() : true)
      follow.push_back(id);
  for (LONG id : ids)
    if (!now.count(id)) {
      std::fprintf(stderr, "corvexctl: install progress: computer %ld has no install attempt\n", static_cast<long>(id));
      return 1;
    }
  if (follow.empty()) {
    std::printf("install: nothing under way\n");
    return 0;
  }
  // The attempts as they are count as fresh: "before" holds none.
  return FollowInstallsInterruptible(follow, {});
}

}  // namespace corvexctl

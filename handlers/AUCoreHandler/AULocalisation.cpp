#include "handlers/AUCoreHandler/AULocalisation.h"

#include <cstdio>
#include <cwchar>
#include <map>

#include "handlers/AUCoreHandler/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace AUCoreHandler {

namespace {

// Our texts. %1, %2, ... are the message's inserts.
const std::map<unsigned, const wchar_t*>& AUStrings()
{
  static const std::map<unsigned, const wchar_t*> strings{
      // Messages.
      {146, L"Unrecognised update message"},
      {159, L"The update was cancelled before it completed."},
      {161, L"The update from %1 failed: %2"},
      {164, L"The update could not connect to the update location %1."},
      {167, L"The update completed successfully. Installed version: %1."},
      {169, L"The update configuration could not be read: %1"},
      {170, L"The update schedule could not be started: %1"},
      {174, L"The update log file %1 could not be opened."},
      {176, L"No update location is configured for this computer."},
      {178, L"The bootstrap location %1 could not be reached."},
      {180, L"The proxy server %1 refused the connection."},
      {182, L"The update location %1 refused the user name or password."},
      {183, L"The dial-up connection to %1 could not be established."},
      {184, L"The update service started."},
      {185, L"The update service stopped."},
      {476, L"The update %1 was downloaded but could not be installed: %2"},
      {480, L"The computer must be restarted to complete the update to version %1."},
      // Error codes of failed updates.
      {429, L"The update location could not be found."},
      {431, L"Access to the update location was denied."},
      {432, L"The update location holds no update for this product."},
      {435, L"The downloaded update is damaged."},
      {436, L"The update could not be copied to the local disk."},
      {437, L"There is not enough memory to complete the update."},
      {438, L"The update failed unexpectedly."},
      {451, L"The update server could not be reached."},
      {452, L"The update server's address is not valid."},
      {455, L"The update server refused the request."},
      {458, L"The update server did not answer in time."},
      {459, L"The proxy server could not be reached."},
      {460, L"The proxy server refused the user name or password."},
      {461, L"The update server refused the user name or password."},
      {463, L"The update file was not found on the update server."},
      {464, L"The connection was interrupted during the download."},
      {465, L"There is not enough disk space for the update."},
      {466, L"The update package could not be unpacked."},
      {467, L"The update package's signature is not valid."},
      {468, L"The update could not be installed."},
      {469, L"The product's files are in use; the update will be retried."},
      {470, L"The update configuration is not valid."},
      {763, L"The dial-up connection could not be established."},
      {764, L"The download was stopped by the bandwidth limit."},
      {765, L"The update was cancelled."},
      {766, L"The library server is not available."},
      {767, L"The library server holds no package for this product."},
      {768, L"The library server's package is older than the installed version."},
      {769, L"The library server's path is not a valid network path."},
      {770, L"The library server refused the connection."},
  };
  return strings;
}

// A hexadecimal error code ("80041F00" or "0x80041F00"); false when the text is not one.
bool ParseErrorCode(const std::wstring& text, ULONG& code)
{
  if (text.empty())
    return false;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long value = std::wcstoull(text.c_str(), &end, 16);
  if (end == text.c_str() || errno != 0 || value > 0xFFFFFFFFull)
    return false;
  code = static_cast<ULONG>(value);
  return true;
}

}  // namespace

std::optional<std::wstring> LoadAUStringResource(unsigned id)
{
  const auto& strings = AUStrings();
  const auto it = strings.find(id);
  if (it == strings.end())
    return std::nullopt;
  return std::wstring(it->second);
}

const std::vector<AUMessageEntry>& AUMessageTable()
{
  static const std::vector<AUMessageEntry> table{
      {0, 167},   {103, 161}, {106, 164}, {107, 159}, {108, 476}, {109, 480}, {230, 169}, {206, 170},
      {231, 174}, {209, 176}, {232, 178}, {207, 180}, {210, 182}, {208, 183}, {200, 184}, {212, 185},
  };
  return table;
}

const std::vector<AUErrorCodeEntry>& AUErrorCodeTable()
{
  static const std::vector<AUErrorCodeEntry> table{
      {0x80040F00, 429}, {0x80040F01, 431}, {0x80040F02, 432}, {0x80040F03, 435}, {0x80040F04, 436}, {0x8007000E, 437},
      {0x8000FFFF, 438}, {0x80041F00, 451}, {0x80041F01, 452}, {0x80041F02, 455}, {0x80041F03, 458}, {0x80041F04, 459},
      {0x80041F05, 460}, {0x80041F06, 461}, {0x80041F07, 463}, {0x80041F08, 464}, {0x80041F09, 465}, {0x80041F0A, 466},
      {0x80041F0B, 467}, {0x80041F0C, 468}, {0x80041F0D, 469}, {0x80041F0E, 437}, {0x80041F0F, 763}, {0x80041F10, 764},
      {0x80041F11, 765}, {0x80041F12, 470}, {0x80042F00, 431}, {0x80042F01, 766}, {0x80042F02, 767}, {0x80042F03, 768},
      {0x80042F04, 769}, {0x80042F05, 770},
  };
  return table;
}

AULocalisation::AULocalisation() : m_load(LoadAUStringResource) {}

AULocalisation::AULocalisation(StringResourceLoader loader) : m_load(std::move(loader)) {}

void AULocalisation::GetAppEventMessage(std::wstring& result, const std::wstring& /*source*/, LONG number,
                                        const std::wstring& /*messageCode*/, const std::vector<std::wstring>& inserts) const
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, "void AULocalisation::GetAppEventMessage(%d)", number);
  if (number == 103) {
    // A failed update: its second insert is the error code, shown as the code's text.
    std::vector<std::wstring> values = inserts;
    ULONG code = 0;
    if (values.size() > 1 && ParseErrorCode(values[1], code)) {
      for (const AUErrorCodeEntry& entry : AUErrorCodeTable()) {
        if (entry.code != code)
          continue;
        if (auto text = m_load(entry.resource))
          values[1] = *text;
        break;
      }
    }
    if (auto format = m_load(161)) {
      result = Substitute(*format, values);
      return;
    }
  }
  for (const AUMessageEntry& entry : AUMessageTable()) {
    if (entry.number != number)
      continue;
    if (auto text = m_load(entry.resource)) {
      result = Substitute(*text, inserts);
      return;
    }
    break;
  }
  const std::wstring unknown = m_load(146).value_or(L"BRQ error");
  wchar_t code[16];
  std::swprintf(code, sizeof code / sizeof *code, L" 0x%.8X", static_cast<unsigned>(static_cast<ULONG>(number)));
  result = unknown + code;
}

std::wstring AULocalisation::Substitute(std::wstring text, const std::vector<std::wstring>& inserts)
{
  for (std::size_t i = 0; i < inserts.size(); ++i) {
    const std::wstring placeholder = L"%" + std::to_wstring(i + 1);
    const auto at = text.find(placeholder);
    if (at != std::wstring::npos)
      text.replace(at, placeholder.size(), inserts[i]);
  }
  return text;
}

}  // namespace AUCoreHandler

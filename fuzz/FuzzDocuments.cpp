// Fuzz target: every managed-entity document parser (AV status, event and configuration;
// update configuration and event; library status) over the same bytes, as UTF-8 and, for odd
// lengths, as wide text. A document that was accepted must serialise, read back, and serialise
// to the same bytes again. Refusals are XMLException and the MEException family only.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "handlers/AUCoreHandler/AUEvent.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "handlers/KTDexHandler/KTDexEvent.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace {

using fuzz::Check;
using Refusal = CorvexManagedEntity::MEException;
using HandlerUtils::XMLException;

// Parse, then the round trip: what we write must read back and write the same. `Extra` are
// refusals a parser raises besides the document exceptions.
template <class Doc, class... Extra, class Text, class Write>
void RoundTrip(const Text& text, Write write)
{
  Doc doc;
  if (!fuzz::Tolerate<XMLException, Refusal, Extra...>([&] { doc.Set(text); }))
    return;
  const std::string once = write(doc);
  Doc again;
  again.Set(once);
  Check(write(again) == once);
}

template <class Text>
void AllParsers(const Text& text)
{
  RoundTrip<KTDexHandler::KTDexStatus>(text, [](const auto& d) { return d.ToXML_UTF8(); });
  RoundTrip<KTDexHandler::KTDexEvent>(text, [](const auto& d) { return d.ToXML_UTF8(); });
  RoundTrip<KTDexHandler::KTDexConfiguration>(text, [](const auto& d) { return d.ToXML_UTF8(); });
  RoundTrip<AUCoreHandler::AutoUpdateConfiguration>(text, [](auto& d) { return d.ToXML_UTF8(); });
  // The library status refuses an unknown product label with a plain runtime error, by design.
  RoundTrip<TzLibHandler::TzLibraryStatusImpl, std::runtime_error>(text, [](const auto& d) { return d.ToXML_UTF8(); });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  trace::SetLevel(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  AllParsers(bytes);
  RoundTrip<AUCoreHandler::AUEvent>(bytes, [](const auto& d) { return d.ToKTXML_UTF8(); });
  if (size % 2)
    AllParsers(FromUtf8(bytes));
  return 0;
}

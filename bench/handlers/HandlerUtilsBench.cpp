// Documents per second: loading a status document of about 2 KB and reading ten values from it
// by XPath, as the status processing does for every status reply; and building and writing one.
#include <benchmark/benchmark.h>

#include <string>

#include "handlers/HandlerUtils/XMLDocument.h"

namespace {

const std::wstring kNs = L"http://corvex.example/KT/KTDexStatus";

std::string StatusDocument()
{
  std::string ides;
  for (int i = 0; i < 75; ++i)
    ides += "<ide>IDE" + std::to_string(1000 + i) + ".IDE</ide>";
  std::string doc =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<status xmlns=\"http://corvex.example/KT/KTDexStatus\">"
    "<entity><productId>DEXKTXP</productId><product-version>4.2.1.17</product-version></entity>"
    "<on-access>true</on-access><quarantine>12</quarantine>"
    "<vdl-info><virus-engine-version>3.14.8</virus-engine-version><virus-data-version>4.5.27</virus-data-version>"
    "<ideChecksum>9F3A2C77B1D04E58</ideChecksum><idelist>" + ides + "</idelist></vdl-info></status>\n";
  return doc;
}

void LoadAndReadTenValues(benchmark::State& state)
{
  const std::string text = StatusDocument();
  for (auto _ : state) {
    HandlerUtils::XMLDocument doc;
    doc.SetXML(text);
    doc.SetSelectionNamespaces(L"xmlns:s='" + kNs + L"'");
    HandlerUtils::XMLElement root = doc.GetRoot();
    HandlerUtils::XMLElement entity = root.GetNode(L"s:entity");
    HandlerUtils::XMLElement vdl = root.GetNode(L"s:vdl-info");
    std::size_t total = 0;
    total += entity.GetStringFromNode(L"s:productId").size();
    total += entity.GetStringFromNode(L"s:product-version").size();
    total += vdl.GetStringFromNode(L"s:virus-engine-version").size();
    total += vdl.GetStringFromNode(L"s:virus-data-version").size();
    total += vdl.GetStringFromNode(L"s:ideChecksum").size();
    total += root.GetBoolFromNode(L"s:on-access");
    total += static_cast<std::size_t>(root.GetIntFromNode(L"s:quarantine"));
    total += vdl.GetStringFromNode(L"s:idelist/s:ide[1]").size();
    total += vdl.GetStringFromNode(L"s:idelist/s:ide[last()]").size();
    total += root.NodeExists(L"s:entity/s:productId");
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(LoadAndReadTenValues);

void BuildAndWrite(benchmark::State& state)
{
  for (auto _ : state) {
    HandlerUtils::XMLDocument doc(L"status", kNs);
    HandlerUtils::XMLElement root = doc.GetRoot();
    HandlerUtils::XMLElement entity = root.CreateNode(L"entity", kNs);
    entity.CreateStringNode(L"productId", L"DEXKTXP", kNs);
    entity.CreateStringNode(L"product-version", L"4.2.1.17", kNs);
    root.CreateBoolNode(L"on-access", true, kNs);
    root.CreateIntNode(L"quarantine", 12, kNs);
    HandlerUtils::XMLElement list = root.CreateNode(L"vdl-info", kNs).CreateNode(L"idelist", kNs);
    for (int i = 0; i < 40; ++i)
      list.CreateStringNode(L"ide", L"IDE" + std::to_wstring(1000 + i) + L".IDE", kNs);
    benchmark::DoNotOptimize(doc.ToXML_UTF8());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildAndWrite);

}  // namespace

BENCHMARK_MAIN();

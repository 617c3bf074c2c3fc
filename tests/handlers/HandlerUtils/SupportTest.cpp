#include <gtest/gtest.h>

#include <ctime>

#include "TraceCapture.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/StreamAdapters.h"
#include "handlers/HandlerUtils/Timestamp.h"
#include "platform/oledate/OleDate.h"

using CorvexManagedEntity::MEInvalidException;
using HandlerUtils::timestamp_t;

namespace {

std::string TimestampError(const std::wstring& text)
{
  try {
    timestamp_t::FromString(text);
  } catch (const MEInvalidException& e) {
    return e.what();
  }
  return "(no exception)";
}

}  // namespace

TEST(Timestamp, TextForms)
{
  const timestamp_t t = timestamp_t::FromString(L"20240229 235958");
  EXPECT_EQ(t.GetStatus(), timestamp_t::valid);
  EXPECT_EQ(*TimeTFromOleDate(t.GetDate()), 1709251198);
  EXPECT_EQ(t.ToString(), L"20240229 235958");
  EXPECT_EQ(timestamp_t::FromString(L"01000101 000000").ToString(), L"01000101 000000") << "four-digit years stay four digits";

  EXPECT_EQ(TimestampError(L"20240229T235958"), "InvalidXML: Badly formed timestamp string: 20240229T235958");
  EXPECT_EQ(TimestampError(L"20240229 23595"), "InvalidXML: Badly formed timestamp string: 20240229 23595");
  EXPECT_EQ(TimestampError(L""), "InvalidXML: Badly formed timestamp string: ");
  EXPECT_EQ(TimestampError(L"2024a229 235958"), "InvalidXML: Badly formed date in timestamp: 2024a229 235958");
  EXPECT_EQ(TimestampError(L"20240229 23:958"), "InvalidXML: Badly formed time in timestamp: 20240229 23:958");
  EXPECT_EQ(TimestampError(L"20230229 120000"), "InvalidXML: Cannot convert timestamp: 20230229 120000");
  EXPECT_EQ(TimestampError(L"20240101 246000"), "InvalidXML: Cannot convert timestamp: 20240101 246000");
  EXPECT_EQ(TimestampError(L"00000101 000000"), "InvalidXML: Cannot convert timestamp: 00000101 000000");
}

TEST(Timestamp, NowRoundTripsToTheSecond)
{
  const std::time_t before = std::time(nullptr);
  const timestamp_t now;
  const std::time_t after = std::time(nullptr);
  const std::time_t seconds = *TimeTFromOleDate(now.GetDate());
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  const std::wstring text = now.ToString();
  ASSERT_EQ(text.size(), 15u);
  EXPECT_EQ(text[8], L' ');
  EXPECT_EQ(timestamp_t::FromString(text), now);
}

TEST(Timestamp, NullAndInvalid)
{
  EXPECT_EQ(timestamp_t::Null().ToString(), L"");
  EXPECT_EQ(timestamp_t(45000.0, timestamp_t::invalid).ToString(), L"Invalid DateTime");
  EXPECT_EQ(timestamp_t(1e9).ToString(), L"Invalid DateTime") << "beyond the last representable day";
  EXPECT_FALSE(timestamp_t::Null() == timestamp_t());
}

TEST(MEException, Prefixes)
{
  using namespace CorvexManagedEntity;
  EXPECT_STREQ(MEMalformedException("x").what(), "MalformedXML: x");
  EXPECT_STREQ(MEInvalidException(std::wstring(L"\u00e9")).what(), "InvalidXML: \xc3\xa9");
  EXPECT_STREQ(MECreateDOMFailed().what(), "Failed to create DOM object");
  EXPECT_STREQ(MECreateDOMFailed("other").what(), "other");
  const MEUnknownEntityException unknown("Unknown entity info: e", "e");
  const MEException& base = unknown;
  EXPECT_STREQ(base.what(), "Unknown entity info: e");
  EXPECT_EQ(unknown.GetEntity(), "e");
}

TEST(StreamAdapters, InputStreamReadsInPiecesAndAnswersOnlyStreamInterfaces)
{
  util::istringstream_To_IStream stream("abcdefg");
  char buf[4];
  ULONG read = 99;
  ASSERT_EQ(stream.Read(buf, 3, &read), S_OK);
  EXPECT_EQ(std::string(buf, read), "abc");
  ASSERT_EQ(stream.Read(buf, 4, &read), S_OK);
  EXPECT_EQ(std::string(buf, read), "defg");
  ASSERT_EQ(stream.Read(buf, 4, &read), S_OK);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(stream.Read(nullptr, 4, &read), E_INVALIDARG);
  EXPECT_EQ(stream.Read(buf, 4, nullptr), E_INVALIDARG);
  EXPECT_EQ(stream.Write("x", 1, &read), E_NOTIMPL);

  void* out = nullptr;
  EXPECT_EQ(stream.QueryInterface(util::IID_ISequentialStream, &out), S_OK);
  EXPECT_EQ(out, static_cast<util::IStream*>(&stream));
  EXPECT_EQ(stream.QueryInterface(MakeGuid("{00000001-0000-0000-C000-000000000046}"), &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST(StreamAdapters, OutputStreamAccumulatesBytes)
{
  util::WriteStream_To_ostringstream sink;
  util::ostringstream_To_IStream stream(sink);
  ULONG written = 0;
  EXPECT_EQ(stream.Write("ab", 2, &written), S_OK);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(stream.Write("c\0d", 3, &written), S_OK);
  EXPECT_EQ(sink.GetStream(), std::string("abc\0d", 5));
  char buf[2];
  EXPECT_EQ(stream.Read(buf, 2, &written), E_NOTIMPL);
}

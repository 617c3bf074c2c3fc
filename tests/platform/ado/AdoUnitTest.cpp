// The data-access layer's pure parts: data-source strings, value conversions, call texts.
#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>


#include "platform/ado/OleDb.h"
#include "platform/ado/PgLink.h"
#include "platform/ado/PgValue.h"
#include "platform/oledate/OleDate.h"

namespace {

using Keywords = std::vector<std::pair<std::string, std::string>>;

std::string Keyword(const Keywords& k, const std::string& name)
{
  for (const auto& [key, value] : k)
    if (key == name)
      return value;
  return "<absent>";
}

TEST(DataSource, FormsMapToSocketOrTcp)
{
  Keywords k;
  std::string error;
  ASSERT_TRUE(ado::BuildConnectKeywords({".", "db1", 15}, k, error));
  EXPECT_EQ(Keyword(k, "host"), "/var/run/postgresql");
  EXPECT_EQ(Keyword(k, "port"), "<absent>");
  EXPECT_EQ(Keyword(k, "keepalives"), "<absent>");
  EXPECT_EQ(Keyword(k, "dbname"), "db1");

  ASSERT_TRUE(ado::BuildConnectKeywords({".:5433", "db1", 15}, k, error));
  EXPECT_EQ(Keyword(k, "host"), "/var/run/postgresql");
  EXPECT_EQ(Keyword(k, "port"), "5433");

  ASSERT_TRUE(ado::BuildConnectKeywords({"dbhost:6000", "db1", 15}, k, error));
  EXPECT_EQ(Keyword(k, "host"), "dbhost");
  EXPECT_EQ(Keyword(k, "port"), "6000");
  EXPECT_EQ(Keyword(k, "keepalives"), "1");  // TCP only

  ASSERT_TRUE(ado::BuildConnectKeywords({"[::1]:7000", "db1", 15}, k, error));
  EXPECT_EQ(Keyword(k, "host"), "::1");
  EXPECT_EQ(Keyword(k, "port"), "7000");

  ASSERT_TRUE(ado::BuildConnectKeywords({"/tmp/sockets", "db1", 0}, k, error));
  EXPECT_EQ(Keyword(k, "host"), "/tmp/sockets");
}

TEST(DataSource, MalformedSourcesAreRefusedWithATextNamingThem)
{
  Keywords k;
  std::string error;
  for (const char* bad : {"", "DBHOST\\INST", "host:", "host:99999", "host:12a", ":5432", "[::1"}) {
    EXPECT_FALSE(ado::BuildConnectKeywords({bad, "db1", 15}, k, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(ado::BuildConnectKeywords({".", "", 15}, k, error));
  EXPECT_NE(error.find("database name"), std::string::npos);
}

TEST(PgValue, ServerTextBecomesTheVariantOfItsKind)
{
  _variant_t v;
  ASSERT_EQ(ado::VariantFromPg(ado::PgKind::Int4, "-42", &v), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, -42);
  ASSERT_EQ(ado::VariantFromPg(ado::PgKind::Int8, "4294967295", &v), S_OK);
  EXPECT_EQ(v.vt, VT_DECIMAL);
  EXPECT_EQ(v.decVal.Lo64, 4294967295u);
  ASSERT_EQ(ado::VariantFromPg(ado::PgKind::Oid, "4294967295", &v), S_OK);
  EXPECT_EQ(v.vt, VT_UI4);
  ASSERT_EQ(ado::VariantFromPg(ado::PgKind::Bool, "t", &v), S_OK);
  EXPECT_EQ(v.vt, VT_BOOL);
  EXPECT_EQ(v.boolVal, VARIANT_TRUE);
  ASSERT_EQ(ado::VariantFromPg(ado::PgKind::Text, "Gr\xC3\xBC\xC3\x9F" "e", &v), S_OK);
  EXPECT_EQ(v.ToWString(), L"Grüße");
  ASSERT_EQ(ado::VariantFromPg(ado::PgKind::Int4, nullptr, &v), S_OK);
  EXPECT_EQ(v.vt, VT_NULL);
  EXPECT_EQ(ado::VariantFromPg(ado::PgKind::Int4, "99999999999", &v), ado::DB_E_CANTCONVERTVALUE);
}

TEST(PgValue, IntegersFillTheirTextAndFitTheirRange)
{
  long long n = 0;
  for (const auto& [text, value] : std::vector<std::pair<const char*, long long>>{
         {"0", 0}, {"-0", 0}, {"-42", -42}, {"+7", 7}, {" 7", 7}, {"999999999999999999", 999999999999999999LL},
         {"9223372036854775807", 9223372036854775807LL}, {"-9223372036854775808", -9223372036854775807LL - 1}}) {
    ASSERT_TRUE(ado::ParseInteger(text, n)) << text;
    EXPECT_EQ(n, value) << text;
  }
  for (const char* bad : {"", "-", "12a", "1 ", "--1", "9223372036854775808", "0x10", "1.5"})
    EXPECT_FALSE(ado::ParseInteger(bad, n)) << bad;
  LONG l = 0;
  ASSERT_TRUE(ado::ParseInt4("-2147483648", l));
  EXPECT_EQ(l, std::numeric_limits<LONG>::min());
  ASSERT_TRUE(ado::ParseInt4("2147483647", l));
  EXPECT_EQ(l, std::numeric_limits<LONG>::max());
  EXPECT_FALSE(ado::ParseInt4("2147483648", l));
  EXPECT_FALSE(ado::ParseInt4("-2147483649", l));
}

TEST(PgValue, TimestampsRoundToTheSecondAndKeepTheShownWallClock)
{
  DATE d = 0;
  ASSERT_TRUE(ado::ParsePgTimestamp("1899-12-30 00:00:00", d));
  EXPECT_EQ(d, 0.0);
  ASSERT_TRUE(ado::ParsePgTimestamp("1899-12-29 06:00:00", d));
  EXPECT_DOUBLE_EQ(d, -1.25);  // before the epoch the fraction still runs forward
  ASSERT_TRUE(ado::ParsePgTimestamp("2024-02-29 23:59:59.6", d));
  EXPECT_EQ(FormatOleDate(d), "2024-03-01 00:00:00");
  ASSERT_TRUE(ado::ParsePgTimestamp("2024-05-01 10:00:00+02", d));
  EXPECT_EQ(FormatOleDate(d), "2024-05-01 10:00:00");
  ASSERT_TRUE(ado::ParsePgTimestamp("2024-05-01", d));
  EXPECT_EQ(ado::FormatPgTimestamp(d), "2024-05-01 00:00:00");
  EXPECT_FALSE(ado::ParsePgTimestamp("infinity", d));
  EXPECT_FALSE(ado::ParsePgTimestamp("0044-03-15 00:00:00 BC", d));
  EXPECT_FALSE(ado::ParsePgTimestamp("0050-01-01 00:00:00", d));  // before the DATE range
}

TEST(PgValue, VariantsBecomeTextForTheParameterKind)
{
  std::optional<std::string> t;
  ASSERT_EQ(ado::PgFromVariant(ado::PgKind::Int4, _variant_t(static_cast<ULONG>(0xFFFFFFFFu)), t), S_OK);
  EXPECT_EQ(*t, "-1");  // identities keep their bit pattern
  ASSERT_EQ(ado::PgFromVariant(ado::PgKind::Int8, _variant_t(static_cast<ULONG>(0xFFFFFFFFu)), t), S_OK);
  EXPECT_EQ(*t, "4294967295");
  EXPECT_EQ(ado::PgFromVariant(ado::PgKind::Int4, _variant_t(static_cast<LONGLONG>(1) << 40), t), DISP_E_OVERFLOW);
  EXPECT_EQ(ado::PgFromVariant(ado::PgKind::Int4, _variant_t(L"abc"), t), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ado::PgFromVariant(ado::PgKind::Timestamp, _variant_t(L"2024-01-01"), t), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(ado::PgFromVariant(ado::PgKind::Timestamp, _variant_t(-1.25, VT_DATE), t), S_OK);
  EXPECT_EQ(*t, "1899-12-29 06:00:00");
  ASSERT_EQ(ado::PgFromVariant(ado::PgKind::Bool, _variant_t(true), t), S_OK);
  EXPECT_EQ(*t, "true");
  ASSERT_EQ(ado::PgFromVariant(ado::PgKind::Text, _variant_t::Null(), t), S_OK);
  EXPECT_FALSE(t.has_value());
  ASSERT_EQ(ado::PgFromVariant(ado::PgKind::Text, _variant_t(static_cast<LONG>(7)), t), S_OK);
  EXPECT_EQ(*t, "7");
}

TEST(CallText, ParsesReturnValueNameAndParameterCount)
{
  oledb::CallText c;
  std::string error;
  ASSERT_TRUE(oledb::ParseCallText("{ ? = CALL dbo.UpdateComputerStatus(?,?,?,?,?,?,?,?) }", c, error));
  EXPECT_TRUE(c.returnValue);
  EXPECT_EQ(c.schema, "dbo");
  EXPECT_EQ(c.name, "UpdateComputerStatus");
  EXPECT_EQ(c.parameters, 8);
  ASSERT_TRUE(oledb::ParseCallText("{ ? = CALL dbo.ClearComputerInstallFlags }", c, error));
  EXPECT_EQ(c.parameters, 0);
  ASSERT_TRUE(oledb::ParseCallText("{call Proc( ? )}", c, error));
  EXPECT_FALSE(c.returnValue);
  EXPECT_EQ(c.schema, "dbo");
  EXPECT_EQ(c.parameters, 1);
  for (const char* bad : {"? = CALL dbo.X", "{ ? CALL dbo.X }", "{ ? = EXEC dbo.X }", "{ ? = CALL dbo.X(?,) }",
                          "{ ? = CALL dbo.X(? }", "{ ? = CALL dbo.X } trailing", "{ ? = CALL }", "{ ? = CALL a.b.c }"})
    EXPECT_FALSE(oledb::ParseCallText(bad, c, error)) << bad;
}

}  // namespace

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/com/Bstr.h"
#include "platform/com/ComError.h"
#include "platform/com/Guid.h"
#include "platform/com/Memory.h"
#include "platform/com/Variant.h"
#include "platform/errortext/ErrorText.h"
#include "platform/errortext/WinRuntimeError.h"

TEST(HResult, Win32CodesInHresultForm)
{
  EXPECT_EQ(HRESULT_FROM_WIN32(5), E_ACCESSDENIED);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(0x12345)), 0x80072345u);
  EXPECT_EQ(HRESULT_FROM_WIN32(0), 0);
  EXPECT_EQ(HRESULT_FROM_WIN32(-7), -7);
  EXPECT_EQ(static_cast<std::uint32_t>(E_POINTER), 0x80004003u);
  EXPECT_EQ(static_cast<std::uint32_t>(E_INVALIDARG), 0x80070057u);
  EXPECT_TRUE(FAILED(E_UNEXPECTED));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

TEST(ErrorText, KnownUnknownAndWin32)
{
  EXPECT_EQ(ErrorText(E_FAIL), "Unspecified error");
  EXPECT_EQ(ErrorText(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), "Access is denied.");
  EXPECT_EQ(ErrorText(MakeHr(0x8123ABCD)), "Unknown error 0x8123ABCD");
  char* t = FormatMessageFromErrorInfoExR(E_FAIL, L"the description \u00e9");
  EXPECT_STREQ(t, "the description \xc3\xa9");
  LocalFree(t);
  const WinRuntimeError e = WinRuntimeError::FromWin32(ERROR_INVALID_DATA, "reading X");
  EXPECT_STREQ(e.what(), "reading X: The data is invalid.");
  EXPECT_EQ(e.hr(), HRESULT_FROM_WIN32(13));
  EXPECT_EQ(e.win32(), 13);
}

TEST(Guid, ParseFormatAndReject)
{
  constexpr GUID g = MakeGuid("{02D2BE0B-53CF-4c57-B6B1-0FCB348C843F}");
  EXPECT_EQ(GuidToString(g), "{02D2BE0B-53CF-4C57-B6B1-0FCB348C843F}");
  EXPECT_EQ(g.Data1, 0x02D2BE0Bu);
  EXPECT_EQ(g.Data4[0], 0xB6);
  EXPECT_EQ(GuidFromString(std::string_view("02d2be0b-53cf-4c57-b6b1-0fcb348c843f")), g);
  EXPECT_FALSE(GuidFromString(std::string_view("{02D2BE0B-53CF-4c57-B6B1-0FCB348C843F")));
  EXPECT_FALSE(GuidFromString(std::string_view("{02D2BE0B-53CF-4c57-B6B1X0FCB348C843F}")));
  EXPECT_FALSE(GuidFromString(std::string_view("{02D2BE0B-53CF-4c57-B6B1-0FCB348C843G}")));
  CLSID c;
  EXPECT_EQ(CLSIDFromString(L"{02D2BE0B-53CF-4c57-B6B1-0FCB348C843F}", &c), S_OK);
  EXPECT_EQ(c, g);
  EXPECT_EQ(CLSIDFromString(L"nonsense", &c), CO_E_CLASSSTRING);
  wchar_t buf[39];
  EXPECT_EQ(StringFromGUID2(g, buf, 38), 0);
  EXPECT_EQ(StringFromGUID2(g, buf, 39), 39);
  EXPECT_EQ(std::wstring(buf), L"{02D2BE0B-53CF-4C57-B6B1-0FCB348C843F}");
  EXPECT_NE(NewGuid(), NewGuid());
}

TEST(Bstr, LengthPrefixAndEmbeddedNulls)
{
  BSTR b = SysAllocStringLen(L"a\0b", 3);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  _bstr_t owned(b, false);
  _bstr_t copy = owned;
  EXPECT_EQ(copy.length(), 3u);
  EXPECT_NE(copy.GetBSTR(), owned.GetBSTR());
  EXPECT_EQ(_bstr_t("caf\xc3\xa9").wstr(), L"caf\u00e9");
  EXPECT_EQ(_bstr_t(L"x\u00e9").utf8(), "x\xc3\xa9");
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
}

TEST(Variant, ConversionsAndTheirErrors)
{
  _variant_t v(L" 42 ");
  EXPECT_EQ(v.ToLong(), 42);
  EXPECT_EQ(_variant_t(2.5).ToLong(), 2);   // half to even
  EXPECT_EQ(_variant_t(3.5).ToLong(), 4);
  EXPECT_EQ(_variant_t(-1L).ToWString(), L"-1");
  EXPECT_EQ(_variant_t(true).ToLong(), -1);
  EXPECT_EQ(_variant_t(L"True").ToBool(), true);
  EXPECT_EQ(_variant_t(static_cast<ULONG>(0xFFFFFFFFu)).ToULong(), 0xFFFFFFFFu);

  VARIANT out;
  VariantInit(&out);
  _variant_t big(static_cast<LONGLONG>(5000000000LL));
  EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_I4), DISP_E_OVERFLOW);
  _variant_t neg(-1L);
  EXPECT_EQ(VariantChangeType(&out, &neg, 0, VT_UI4), DISP_E_OVERFLOW);
  _variant_t text(L"12abc");
  EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);
  const _variant_t null = _variant_t::Null();
  EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(out.vt, VT_EMPTY);  // a failed conversion leaves the destination alone
  EXPECT_THROW(null.ToLong(), _com_error);
  try {
    null.ToLong();
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), DISP_E_TYPEMISMATCH);
  }

  _variant_t d(36526.5, VT_DATE);
  EXPECT_EQ(d.vt, VT_DATE);
  EXPECT_EQ(d.ToWString(), L"2000-01-01 12:00:00");
}

TEST(Variant, DecimalArithmetic)
{
  DECIMAL dec;
  ASSERT_EQ(VarDecFromStr(L"-123.4500", &dec), S_OK);
  EXPECT_EQ(dec.scale, 4);
  EXPECT_EQ(dec.sign, DECIMAL_NEG);
  EXPECT_EQ(DecimalToString(dec), L"-123.4500");
  LONGLONG i;
  ASSERT_EQ(VarI8FromDec(&dec, &i), S_OK);
  EXPECT_EQ(i, -123);
  ASSERT_EQ(VarDecFromStr(L"2.5", &dec), S_OK);
  ASSERT_EQ(VarI8FromDec(&dec, &i), S_OK);
  EXPECT_EQ(i, 2);
  ASSERT_EQ(VarDecFromStr(L"79228162514264337593543950335", &dec), S_OK);  // 2^96 - 1
  EXPECT_EQ(VarDecFromStr(L"79228162514264337593543950336", &dec), DISP_E_OVERFLOW);
  EXPECT_EQ(VarDecFromStr(L"1.2.3", &dec), DISP_E_TYPEMISMATCH);

  _variant_t v(DECIMAL{});
  ASSERT_EQ(VarDecFromI8(9876543210LL, &v.decVal), S_OK);
  EXPECT_EQ(v.ToLongLong(), 9876543210LL);
  EXPECT_THROW(v.ToLong(), _com_error);
  DECIMAL fromDouble;
  ASSERT_EQ(VarDecFromR8(0.1, &fromDouble), S_OK);
  EXPECT_EQ(DecimalToString(fromDouble), L"0.1");
}

TEST(SafeArray, VectorOfLongsAndStrings)
{
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 0, 3);
  ASSERT_NE(psa, nullptr);
  for (LONG i = 0; i < 3; ++i) {
    const LONG val = 10 * i;
    ASSERT_EQ(SafeArrayPutElement(psa, &i, &val), S_OK);
  }
  LONG bad = 3, got = 0, ub = 0;
  EXPECT_EQ(SafeArrayPutElement(psa, &bad, &got), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
  EXPECT_EQ(ub, 2);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(static_cast<LONG*>(data)[2], 20);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  LONG one = 1;
  ASSERT_EQ(SafeArrayGetElement(copy, &one, &got), S_OK);
  EXPECT_EQ(got, 10);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);

  SAFEARRAY* strs = SafeArrayCreateVector(VT_BSTR, 1, 1);
  BSTR s = SysAllocString(L"hello");
  ASSERT_EQ(SafeArrayPutElement(strs, &one, s), S_OK);
  SysFreeString(s);  // the array holds its own copy
  BSTR back = nullptr;
  ASSERT_EQ(SafeArrayGetElement(strs, &one, &back), S_OK);
  EXPECT_EQ(std::wstring(back), L"hello");
  SysFreeString(back);
  VARIANT holder;
  VariantInit(&holder);
  holder.vt = VT_ARRAY | VT_BSTR;
  holder.parray = strs;
  _variant_t copied(holder);
  EXPECT_NE(copied.parray, strs);
  EXPECT_EQ(VariantClear(&holder), S_OK);

  // A vector of VARIANTs starts empty; destroying it frees the strings and arrays it holds.
  SAFEARRAY* cells = SafeArrayCreateVector(VT_VARIANT, 0, 3);
  ASSERT_NE(cells, nullptr);
  VARIANT* cell = nullptr;
  ASSERT_EQ(SafeArrayAccessData(cells, reinterpret_cast<void**>(&cell)), S_OK);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(cell[i].vt, VT_EMPTY);
  cell[0].vt = VT_BSTR;
  cell[0].bstrVal = SysAllocString(L"kept");
  cell[1].vt = VT_ARRAY | VT_BSTR;
  SafeArrayCopy(copied.parray, &cell[1].parray);
  cell[2].vt = VT_I4;
  cell[2].lVal = 7;
  ASSERT_EQ(SafeArrayUnaccessData(cells), S_OK);
  EXPECT_EQ(SafeArrayDestroy(cells), S_OK);
}

TEST(Memory, ProbesTellMappedFromUnmapped)
{
  const long page = ::sysconf(_SC_PAGESIZE);
  char* region = static_cast<char*>(::mmap(nullptr, static_cast<std::size_t>(page) * 3, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(::mprotect(region + page, static_cast<std::size_t>(page), PROT_NONE), 0);
  ASSERT_EQ(::mprotect(region + 2 * page, static_cast<std::size_t>(page), PROT_READ), 0);

  EXPECT_FALSE(IsBadReadPtr(region, static_cast<std::size_t>(page)));
  EXPECT_TRUE(IsBadReadPtr(region + page - 4, 8));  // runs into the inaccessible page
  EXPECT_TRUE(IsBadReadPtr(nullptr, 4));
  EXPECT_FALSE(IsBadReadPtr(nullptr, 0));
  EXPECT_FALSE(IsBadReadPtr(region + 2 * page, 16));
  EXPECT_FALSE(IsBadWritePtr(region, static_cast<std::size_t>(page)));
  EXPECT_TRUE(IsBadWritePtr(region + 2 * page, 16));  // read-only
  EXPECT_TRUE(IsBadWritePtr(region + page, 1));

  int local = 5;
  EXPECT_FALSE(IsBadWritePtr(&local, sizeof local));
  EXPECT_EQ(local, 5);
  // Another thread's own variables too; a range running on past the top of its stack is not
  // taken for part of it.
  std::thread([] {
    char mine[64] = {};
    EXPECT_FALSE(IsBadWritePtr(mine, sizeof mine));
    EXPECT_TRUE(IsBadWritePtr(mine, std::size_t{1} << 40));
  }).join();
  ::munmap(region, static_cast<std::size_t>(page) * 3);
  EXPECT_TRUE(IsBadReadPtr(region, 1));

  void* p = CoTaskMemAlloc(16);
  EXPECT_FALSE(IsBadWritePtr(p, 16));
  CoTaskMemFree(p);
}

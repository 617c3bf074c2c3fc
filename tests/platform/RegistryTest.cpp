#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry/Registry.h"

namespace {

class RegistryTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    char tmpl[] = "/tmp/corvex-reg-XXXXXX";
    m_dir = ::mkdtemp(tmpl);
    m_file = m_dir + "/registry.reg";
    ::setenv("CORVEX_REGISTRY", m_file.c_str(), 1);
  }
  void TearDown() override
  {
    ::unsetenv("CORVEX_REGISTRY");
    std::filesystem::remove_all(m_dir);
  }
  std::string FileText() const
  {
    std::ifstream f(m_file);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  void WriteFile(const std::string& text) const { std::ofstream(m_file) << text; }

  std::string m_dir, m_file;
};

const wchar_t* kKey = L"SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service";

}  // namespace

TEST_F(RegistryTest, ValuesRoundTripThroughTheFile)
{
  {
    CRegKey k;
    DWORD disp = 0;
    ASSERT_EQ(k.Create(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_WRITE, &disp), ERROR_SUCCESS);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    ASSERT_EQ(k.SetDWORDValue(L"InstallTimeInterval", 12000), ERROR_SUCCESS);
    ASSERT_EQ(k.SetStringValue(L"Path", L"C:\\dir \"q\" \u00e9"), ERROR_SUCCESS);
    ASSERT_EQ(k.SetStringValue(L"Expand", L"%TEMP%\\x", REG_EXPAND_SZ), ERROR_SUCCESS);
    ASSERT_EQ(k.SetStringValue(nullptr, L"default"), ERROR_SUCCESS);
    CRegKey empty;
    ASSERT_EQ(empty.Create(k, L"Private"), ERROR_SUCCESS);
  }
  const std::string text = FileText();
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("\"InstallTimeInterval\"=dword:00002ee0"), std::string::npos);
  EXPECT_NE(text.find("\"Path\"=\"C:\\\\dir \\\"q\\\" \xc3\xa9\""), std::string::npos);
  EXPECT_NE(text.find("\"Expand\"=hex(2):25,00,54,00"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service\\Private]"),
            std::string::npos);

  // Another process sees the same values, names compared without regard to case.
  const pid_t pid = ::fork();
  if (pid == 0) {
    CRegKey k;
    DWORD d = 0;
    std::wstring s, e, def;
    const bool ok = k.Open(HKEY_LOCAL_MACHINE, L"software\\corvex\\kt\\management tools\\MANAGEMENT SERVICE", KEY_READ) == 0 &&
                    k.QueryDWORDValue(L"installtimeinterval", d) == 0 && d == 12000 && k.QueryStringValue(L"PATH", s) == 0 &&
                    s == L"C:\\dir \"q\" \u00e9" && k.QueryStringValue(L"Expand", e) == 0 && e == L"%TEMP%\\x" &&
                    k.QueryStringValue(L"", def) == 0 && def == L"default";
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(RegistryTest, ErrorCodesForMissingWrongTypeAndUnterminated)
{
  CRegKey k;
  EXPECT_EQ(k.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(k.Create(HKEY_LOCAL_MACHINE, kKey), ERROR_SUCCESS);
  std::wstring s;
  DWORD d;
  EXPECT_EQ(k.QueryStringValue(L"Missing", s), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(k.SetDWORDValue(L"Number", 5), ERROR_SUCCESS);
  EXPECT_EQ(k.QueryStringValue(L"Number", s), ERROR_INVALID_DATA);
  ASSERT_EQ(k.SetStringValue(L"Text", L"5"), ERROR_SUCCESS);
  EXPECT_EQ(k.QueryDWORDValue(L"Text", d), ERROR_INVALID_DATA);
  const BYTE unterminated[] = {'a', 0, 'b', 0};
  ASSERT_EQ(RegSetValueEx(k, L"Raw", REG_SZ, unterminated, sizeof unterminated), ERROR_SUCCESS);
  EXPECT_EQ(k.QueryStringValue(L"Raw", s), ERROR_INVALID_DATA);
  EXPECT_NE(FileText().find("\"Raw\"=hex(1):61,00,62,00"), std::string::npos);

  BYTE small[2];
  DWORD cb = sizeof small;
  EXPECT_EQ(RegQueryValueEx(k, L"Text", nullptr, small, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4u);

  CRegKey parent;
  ASSERT_EQ(parent.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvex\\KT"), ERROR_SUCCESS);
  EXPECT_EQ(parent.DeleteSubKey(L"Management Tools"), ERROR_ACCESS_DENIED);  // has subkeys
  EXPECT_EQ(parent.RecurseDeleteKey(L"Management Tools"), ERROR_SUCCESS);
  EXPECT_EQ(k.QueryDWORDValue(L"Number", d), ERROR_KEY_DELETED);
  EXPECT_EQ(parent.DeleteValue(L"Nope"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ReadOnlyFileRefusesWriteAccess)
{
  {
    CRegKey k;
    ASSERT_EQ(k.Create(HKEY_LOCAL_MACHINE, kKey), ERROR_SUCCESS);
    ASSERT_EQ(k.SetDWORDValue(L"V", 1), ERROR_SUCCESS);
  }
  ASSERT_EQ(::chmod(m_file.c_str(), 0444), 0);
  CRegKey k;
  EXPECT_EQ(k.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_WRITE), ERROR_ACCESS_DENIED);
  ASSERT_EQ(k.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(k.SetDWORDValue(L"V", 2), ERROR_ACCESS_DENIED);
  DWORD d = 0;
  EXPECT_EQ(k.QueryDWORDValue(L"V", d), ERROR_SUCCESS);
  EXPECT_EQ(d, 1u);
}

TEST_F(RegistryTest, MalformedFileIsRefusedNamingTheLineAndNeverRewritten)
{
  const std::string bad =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"A\"=dword:1\n\"B\"=dword:nothex\n";
  WriteFile(bad);
  CRegKey k;
  EXPECT_EQ(k.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X", KEY_READ), ERROR_INVALID_DATA);
  EXPECT_EQ(k.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Y"), ERROR_INVALID_DATA);
  EXPECT_NE(RegLastLoadError().find("line 5"), std::string::npos) << RegLastLoadError();
  EXPECT_EQ(FileText(), bad);

  // Once mended, the file is read again.
  WriteFile("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"A\"=hex:01,\\\n  02\n");
  ASSERT_EQ(k.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X", KEY_READ), ERROR_SUCCESS);
  std::vector<BYTE> bin;
  ASSERT_EQ(k.QueryBinaryValue(L"A", bin), ERROR_SUCCESS);
  EXPECT_EQ(bin, (std::vector<BYTE>{1, 2}));
  EXPECT_EQ(RegLastLoadError(), "");
}

TEST(RegText, RejectsEachKindOfBadLine)
{
  const char* head = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\K]\n";
  for (const char* line : {"\"A\"=\"unterminated\n", "\"A\"=\"x\" junk\n", "\"A\"=hex:1,2\n", "\"A\"=dword:123456789\n",
                           "A=\"x\"\n", "\"A\"=-\n", "\"A\"=hex(zz):00\n", "\"A\"=\"bad \\q escape\"\n"}) {
    EXPECT_THROW(ParseRegText(std::string(head) + line), std::runtime_error) << line;
  }
  EXPECT_THROW(ParseRegText("REGEDIT4\n"), std::runtime_error);
  EXPECT_THROW(ParseRegText("Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\K]\n"), std::runtime_error);
  EXPECT_THROW(ParseRegText("Windows Registry Editor Version 5.00\n\"A\"=\"x\"\n"), std::runtime_error);
  EXPECT_THROW(ParseRegText("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\a\\\\b]\n"), std::runtime_error);
  EXPECT_NO_THROW(ParseRegText(""));
  const auto keys = ParseRegText(std::string(head) + "; comment\n@=\"d\"\n");
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].values[0].name, L"");
}

#include <gtest/gtest.h>

#include "handlers/AUCoreHandler/PathUtils.h"

using namespace util;

TEST(PathUtils, UncPaths)
{
  EXPECT_TRUE(PathIsUNC(L"\\\\FILESRV01\\CorvexUpdates"));
  EXPECT_TRUE(PathIsUNC(L"\\\\?\\UNC\\FILESRV01\\share"));
  EXPECT_FALSE(PathIsUNC(L"\\\\?\\C:\\share"));
  EXPECT_FALSE(PathIsUNC(L"\\\\.\\pipe\\x"));
  EXPECT_FALSE(PathIsUNC(L"\\\\"));
  EXPECT_FALSE(PathIsUNC(L"//FILESRV01/share"));
  EXPECT_FALSE(PathIsUNC(L"C:\\Updates"));
}

TEST(PathUtils, Urls)
{
  EXPECT_TRUE(PathIsURL(L"http://updates.hq.example"));
  EXPECT_TRUE(PathIsURL(L"ftp://updates"));
  EXPECT_FALSE(PathIsURL(L"C:\\Updates")) << "a drive letter is not a scheme";
  EXPECT_FALSE(PathIsURL(L"1http://x"));

  EXPECT_TRUE(PathIsHttpURL(L"HTTP://updates"));
  EXPECT_TRUE(PathIsHttpURL(L"https://updates:443/kt"));
  EXPECT_FALSE(PathIsHttpURL(L"http:updates"));
  EXPECT_FALSE(PathIsHttpURL(L"httpx://updates"));
}

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "security/Base64.h"
#include "security/Cipher.h"
#include "security/MemBuff.h"
#include "security/Obscurer.h"
#include "security/SecurityException.h"

using namespace LanternSecurity;

namespace {

std::vector<std::uint8_t> Blob(const std::string& obscured)
{
  std::vector<std::uint8_t> blob;
  EXPECT_TRUE(Base64Decode(obscured, blob)) << obscured;
  return blob;
}

std::vector<std::string> Lines(const std::string& text)
{
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    const auto crlf = text.find("\r\n", at);
    lines.push_back(text.substr(at, crlf == std::string::npos ? std::string::npos : crlf - at));
    if (crlf == std::string::npos)
      return lines;
    at = crlf + 2;
  }
}

}  // namespace

TEST(ObscurerTest, OneCharacterGivesHeaderSaltAndOneBlockThatDecryptsToItsUtf16Bytes)
{
  Obscurity::Obscurer obscurer;
  const std::vector<std::uint8_t> blob = Blob(obscurer.obscure(L"x"));
  ASSERT_EQ(blob.size(), 10u + 16u);
  EXPECT_EQ(blob[0], 7);
  EXPECT_EQ(blob[1], 8);
  Cipher cipher;
  const MemBuff plain = cipher.Decrypt(blob.data(), blob.size());
  ASSERT_EQ(plain.Length(), 2u);
  EXPECT_EQ(plain.Data()[0], 'x');
  EXPECT_EQ(plain.Data()[1], 0);
}

TEST(ObscurerTest, EachObscuringHasAFreshSaltAndRevealsToTheSameText)
{
  Obscurity::Obscurer obscurer;
  const std::wstring text = L"CORP\\upd\u00e4ter \U0001F512 'quoted' \"x\"";
  std::set<std::vector<std::uint8_t>> salts;
  std::set<std::string> texts;
  for (int i = 0; i < 8; ++i) {
    const std::string obscured = obscurer.obscure(text);
    const std::vector<std::uint8_t> blob = Blob(obscured);
    ASSERT_GT(blob.size(), 10u);
    EXPECT_EQ(blob[0], 7);
    EXPECT_EQ(blob[1], 8);
    // The cipher text is a whole number of blocks: the input plus padding.
    EXPECT_EQ((blob.size() - 10) % 16, 0u);
    EXPECT_GT(blob.size() - 10, text.size() * 2);
    salts.insert(std::vector<std::uint8_t>(blob.begin() + 2, blob.begin() + 10));
    texts.insert(obscured);
    EXPECT_EQ(obscurer.reveal(obscured), text);
  }
  EXPECT_EQ(salts.size(), 8u);
  EXPECT_EQ(texts.size(), 8u);
}

TEST(ObscurerTest, LongBlobsBreakIntoLinesOf76JoinedByCrLf)
{
  Obscurity::Obscurer obscurer;
  // 40 characters: 80 input bytes, 96 cipher bytes, a 106-byte blob, 144 Base64 characters.
  const std::string obscured = obscurer.obscure(std::wstring(40, L'p'));
  const std::vector<std::string> lines = Lines(obscured);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 76u);
  EXPECT_EQ(lines[1].size(), 144u - 76u);
  EXPECT_EQ(obscured.find('\n'), 76u + 1);
  EXPECT_NE(obscured.substr(obscured.size() - 2), "\r\n");

  // A blob of 57 bytes is exactly one line; one more byte starts a second.
  std::string out;
  const std::vector<std::uint8_t> bytes(58, 0xAB);
  ASSERT_TRUE(Base64Encode(bytes.data(), 57, out));
  EXPECT_EQ(out.size(), 76u);
  ASSERT_TRUE(Base64Encode(bytes.data(), 58, out));
  EXPECT_EQ(Lines(out).size(), 2u);
  EXPECT_EQ(Lines(out)[1], "qw==");
}

TEST(ObscurerTest, EmptyTextAndForeignBlobsAreRefused)
{
  Obscurity::Obscurer obscurer;
  try {
    obscurer.obscure(L"");
    FAIL() << "an empty text was obscured";
  } catch (const Obscurity::ObscurityException& e) {
    EXPECT_EQ(std::string(e.what()), "Obscure:Failed to obscure data:No input data.");
  }
  Cipher cipher;
  std::vector<std::uint8_t> blob = Blob(obscurer.obscure(L"secret"));
  blob[0] = 6;
  EXPECT_THROW(cipher.Decrypt(blob.data(), blob.size()), UnproperInputData);
  EXPECT_THROW(cipher.Decrypt(blob.data(), 10), UnproperInputData);
  EXPECT_THROW(obscurer.reveal("not base64!"), Obscurity::ObscurityException);
}

TEST(Base64Test, StandardVectorsRoundTripAndJunkIsRefused)
{
  const std::pair<std::string, std::string> vectors[] = {
    {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="}};
  for (const auto& [plain, encoded] : vectors) {
    std::string out;
    ASSERT_TRUE(Base64Encode(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(), out));
    EXPECT_EQ(out, encoded);
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(Base64Decode(encoded, back));
    EXPECT_EQ(std::string(back.begin(), back.end()), plain);
  }
  std::vector<std::uint8_t> back;
  EXPECT_FALSE(Base64Decode("Zm9", back));
  EXPECT_FALSE(Base64Decode("Zg==Zg==", back));
  EXPECT_FALSE(Base64Decode("Z===", back));
  EXPECT_FALSE(Base64Decode("Zm9v*", back));
  EXPECT_TRUE(Base64Decode("Zm9v\r\nYmFy", back));
  EXPECT_EQ(std::string(back.begin(), back.end()), "foobar");
}

TEST(MemBuffTest, StartsZeroedShrinksAndMoves)
{
  MemBuff b(32);
  for (std::size_t i = 0; i < b.Length(); ++i)
    ASSERT_EQ(b.Data()[i], 0);
  b.Data()[3] = 9;
  b.Shrink(4);
  EXPECT_EQ(b.Length(), 4u);
  b.Shrink(10);
  EXPECT_EQ(b.Length(), 4u);
  MemBuff moved(std::move(b));
  EXPECT_EQ(moved.Length(), 4u);
  EXPECT_EQ(moved.Data()[3], 9);
  EXPECT_EQ(b.Length(), 0u);
  EXPECT_EQ(b.Data(), nullptr);
}

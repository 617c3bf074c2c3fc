// Known answers of the obscured format: fixed salt, fixed text, the exact text the setup program
// must be given. The expected values were computed outside this code (the key derivation by hand
// from its definition, the cipher by another implementation), so a change of key material,
// cipher, digest, derivation, padding, byte order or line breaking fails here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/text/Unicode.h"
#include "security/Cipher.h"
#include "security/Obscurer.h"

namespace {

struct Vector
{
  const char* textUtf8;
  std::vector<std::uint8_t> salt;
  const char* blobHex;
  const char* obscured;
};

std::string Hex(const std::uint8_t* data, std::size_t length)
{
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < length; ++i) {
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

LanternSecurity::Cipher FixedSalt(const std::vector<std::uint8_t>& salt)
{
  return LanternSecurity::Cipher([salt](std::uint8_t* out, std::size_t length) {
    ASSERT_EQ(length, salt.size());
    std::memcpy(out, salt.data(), length);
  });
}

const Vector kVectors[] = {
  // One character: header, salt, one block.
  {"A", {1, 2, 3, 4, 5, 6, 7, 8}, "07080102030405060708efaed7a52a0eac0abba7de60e7530852",
   "BwgBAgMEBQYHCO+u16UqDqwKu6feYOdTCFI="},
  // Eight characters are 16 input bytes: a whole block of padding follows.
  {"CORP\\cid", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77},
   "07080011223344556677a5e091d125b27d089e59b13b59497cbccdf396b40807814e26ea6cfd36cbab93",
   "BwgAESIzRFVmd6XgkdElsn0InlmxO1lJfLzN85a0CAeBTibqbP02y6uT"},
  // Characters beyond ASCII and beyond the basic plane (a surrogate pair), and three lines.
  {"p\xC3\xA4ssw\xC3\xB6rd-\xE2\x82\xAC-\xF0\x9D\x84\x9E with a length past one Base64 line of 76!",
   {0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87},
   "0708f0e1d2c3b4a59687276524a502587ecd7bfdc51546ae2a7e9cfcb54cd90eb88375a6bb0e229d7479dee3822541158008b98b66"
   "342c37b4fe003fab667547b90247c976400091c2b80e518bb258102ff99eb2ebb5cfca375bb0310e472788cce2a5657b189a66e56f"
   "7b355d068169b4110f4f09cb84deaaf4",
   "Bwjw4dLDtKWWhydlJKUCWH7Ne/3FFUauKn6c/LVM2Q64g3Wmuw4inXR53uOCJUEVgAi5i2Y0LDe0\r\n"
   "/gA/q2Z1R7kCR8l2QACRwrgOUYuyWBAv+Z6y67XPyjdbsDEORyeIzOKlZXsYmmblb3s1XQaBabQR\r\n"
   "D08Jy4TeqvQ="},
};

}  // namespace

TEST(ObscurerVectorsTest, FixedSaltAndTextGiveTheKnownBlobAndText)
{
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.textUtf8);
    const std::wstring text = FromUtf8(v.textUtf8);
    const std::u16string units = ToUtf16(text);
    std::vector<std::uint8_t> input;
    for (char16_t u : units) {
      input.push_back(static_cast<std::uint8_t>(u & 0xFF));
      input.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    LanternSecurity::Cipher cipher = FixedSalt(v.salt);
    const LanternSecurity::MemBuff blob = cipher.Encrypt(input.data(), input.size());
    EXPECT_EQ(Hex(blob.Data(), blob.Length()), v.blobHex);

    Obscurity::Obscurer obscurer(FixedSalt(v.salt));
    const std::string obscured = obscurer.obscure(text);
    EXPECT_EQ(obscured, v.obscured);
    // And the way back, as the target reads it.
    EXPECT_EQ(obscurer.reveal(v.obscured), text);
  }
}

TEST(ObscurerVectorsTest, OneFlippedBitOfTheKnownTextDoesNotRevealTheSameText)
{
  // The last cipher block decides the padding: a flipped bit in it fails or gives other bytes.
  Obscurity::Obscurer obscurer;
  std::string tampered = kVectors[1].obscured;
  tampered[tampered.size() - 3] = tampered[tampered.size() - 3] == 'A' ? 'B' : 'A';
  try {
    EXPECT_NE(obscurer.reveal(tampered), FromUtf8(kVectors[1].textUtf8));
  } catch (const Obscurity::ObscurityException&) {
    SUCCEED();
  }
}

#include "messaging/LetterStore.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "messaging/EnvelopeCodec.h"
#include "messaging/MessagingConstants.h"

namespace router {

namespace fs = std::filesystem;

namespace {

constexpr char LETTER_MAGIC[8] = {'C', 'V', 'X', 'L', 'E', 'T', '1', '\n'};
constexpr std::int64_t ID_BLOCK = 10000;
constexpr std::int64_t MAX_ID = 0x7FFFFFFF;
constexpr const char* CONFIRMING_FILE = "confirming_clients.txt";

// Writes through a temporary file and a rename, so a crash never leaves half a file.
void WriteAtomically(const fs::path& path, const std::string& bytes)
{
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
      throw std::runtime_error("cannot write " + temporary.string());
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec)
    throw std::runtime_error("cannot rename " + temporary.string() + ": " + ec.message());
}

std::string ReadFile(const fs::path& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> ReadNames(const fs::path& path)
{
  std::set<std::string> names;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty() && line.front() != '#')
      names.insert(line);
  }
  return names;
}

void WriteNames(const fs::path& path, const char* heading, const std::set<std::string>& names)
{
  std::string text = std::string("# ") + heading + ", one per line.\n";
  for (const auto& a : names)
    text += a + "\n";
  WriteAtomically(path, text);
}

}  // namespace

LetterStore::LetterStore(fs::path dataDirectory) : m_directory(std::move(dataDirectory))
{
  std::error_code ec;
  fs::create_directories(m_directory / MessagingConstants::ENVELOPES_FOLDER, ec);
  if (ec)
    throw std::runtime_error("cannot create " + (m_directory / MessagingConstants::ENVELOPES_FOLDER).string() + ": " +
                             ec.message());
}

std::set<std::string> LetterStore::LoadAddresses() const
{
  return ReadNames(m_directory / MessagingConstants::ROUTER_TABLE_FILE);
}

void LetterStore::SaveAddresses(const std::set<std::string>& addresses) const
{
  WriteNames(m_directory / MessagingConstants::ROUTER_TABLE_FILE, "Addresses known to this router", addresses);
}

std::set<std::string> LetterStore::LoadConfirming() const
{
  return ReadNames(m_directory / CONFIRMING_FILE);
}

void LetterStore::SaveConfirming(const std::set<std::string>& addresses) const
{
  WriteNames(m_directory / CONFIRMING_FILE, "Clients that confirm what they receive", addresses);
}

fs::path LetterStore::LetterPath(CorvexMessaging::MessageId id) const
{
  return m_directory / MessagingConstants::ENVELOPES_FOLDER / (std::to_string(id) + ".env");
}

void LetterStore::Save(const StoredLetter& letter) const
{
  const std::vector<std::uint8_t> body = messaging::EncodeEnvelope(letter.envelope);
  std::string bytes(LETTER_MAGIC, sizeof LETTER_MAGIC);
  char expires[8];
  for (int i = 0; i < 8; ++i)
    expires[i] = static_cast<char>((static_cast<std::uint64_t>(letter.expires) >> (8 * i)) & 0xFF);
  bytes.append(expires, sizeof expires);
  bytes.append(reinterpret_cast<const char*>(body.data()), body.size());
  WriteAtomically(LetterPath(letter.envelope.message_id), bytes);
}

void LetterStore::Remove(CorvexMessaging::MessageId id) const
{
  std::error_code ec;
  fs::remove(LetterPath(id), ec);
}

std::vector<StoredLetter> LetterStore::LoadLetters(const std::function<void(const std::string&)>& report) const
{
  std::vector<StoredLetter> letters;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(m_directory / MessagingConstants::ENVELOPES_FOLDER, ec)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".env")
      continue;
    const std::string bytes = ReadFile(entry.path());
    try {
      if (bytes.size() <= sizeof LETTER_MAGIC + 8 || std::memcmp(bytes.data(), LETTER_MAGIC, sizeof LETTER_MAGIC) != 0)
        throw std::runtime_error("not a letter file");
      StoredLetter letter;
      std::uint64_t expires = 0;
      for (int i = 0; i < 8; ++i)
        expires |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[sizeof LETTER_MAGIC + i])) << (8 * i);
      letter.expires = static_cast<std::int64_t>(expires);
      const std::size_t offset = sizeof LETTER_MAGIC + 8;
      letter.envelope = messaging::DecodeEnvelope(reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset,
                                                  bytes.size() - offset);
      letters.push_back(std::move(letter));
    } catch (const std::exception& e) {
      std::error_code renameError;
      fs::rename(entry.path(), entry.path().string() + ".bad", renameError);
      if (report)
        report(entry.path().string() + ": " + e.what() + " (kept as .bad)");
    }
  }
  return letters;
}

void LetterStore::Reserve()
{
  const fs::path path = m_directory / "message_id";
  if (m_reservedUpTo == 0) {
    std::int64_t stored = 0;
    std::istringstream(ReadFile(path)) >> stored;
    m_next = stored >= 1 && stored <= MAX_ID ? stored : 1;
  }
  m_reservedUpTo = m_next + ID_BLOCK;
  // The file names where the next start-up begins: past every id handed out from this block.
  const std::int64_t nextStart = m_reservedUpTo > MAX_ID ? 1 : m_reservedUpTo;
  WriteAtomically(path, std::to_string(nextStart) + "\n");
}

CorvexMessaging::MessageId LetterStore::NextId()
{
  if (m_next >= m_reservedUpTo || m_next > MAX_ID) {
    if (m_next > MAX_ID)
      m_next = 1;
    Reserve();
  }
  return static_cast<CorvexMessaging::MessageId>(m_next++);
}

}  // namespace router

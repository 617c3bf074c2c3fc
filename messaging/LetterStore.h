#pragma once
// What the router keeps on disk in its data directory, so that a restart loses nothing that
// waits: the addresses it has ever seen (table_router.txt, one per line), the letters waiting
// for clients that are offline or not yet confirmed (Envelopes/<message id>.env), the clients
// that confirm and the message-id counter
// (message_id, reserved in blocks so it is not written for every letter).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"

namespace router {

struct StoredLetter
{
  CorvexMessaging::Envelope envelope;
  std::int64_t expires = 0;  // UTC seconds
};

class LetterStore
{
public:
  // Creates the directories when missing; std::runtime_error when that fails.
  explicit LetterStore(std::filesystem::path dataDirectory);

  const std::filesystem::path& Directory() const { return m_directory; }

  std::set<std::string> LoadAddresses() const;
  void SaveAddresses(const std::set<std::string>& addresses) const;
  // The clients that confirm what they receive (confirming_clients.txt, one per line).
  std::set<std::string> LoadConfirming() const;
  void SaveConfirming(const std::set<std::string>& addresses) const;

  // Writes the letter's file (replacing it); std::runtime_error on failure.
  void Save(const StoredLetter& letter) const;
  void Remove(CorvexMessaging::MessageId id) const;
  // Every readable letter; a file that cannot be read is renamed to <name>.bad and reported.
  std::vector<StoredLetter> LoadLetters(const std::function<void(const std::string&)>& report) const;

  // The next message id (1 ... 2^31-1, then 1 again); never 0.
  CorvexMessaging::MessageId NextId();

private:
  std::filesystem::path LetterPath(CorvexMessaging::MessageId id) const;
  void Reserve();

  std::filesystem::path m_directory;
  std::int64_t m_next = 0;
  std::int64_t m_reservedUpTo = 0;  // exclusive
};

}  // namespace router

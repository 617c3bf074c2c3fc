#include "web/Certificate.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace corvexweb {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter
{
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

[[noreturn]] void Fail(const std::string& what)
{
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  throw std::runtime_error("cannot make the web console's certificate: " + what + (text[0] ? std::string(" (") + text + ")" : ""));
}

void AddExtension(X509* cert, int nid, const char* value)
{
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext || !X509_add_ext(cert, ext, -1))
    Fail("extension");
  X509_EXTENSION_free(ext);
}

// Writes through a new file of the given mode, so that the key is never readable by others,
// not even for a moment.
void WritePem(const std::string& path, mode_t mode, const std::function<int(FILE*)>& write)
{
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty())
    std::filesystem::create_directories(parent);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0)
    throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  FILE* f = ::fdopen(fd, "w");
  if (!f) {
    ::close(fd);
    std::filesystem::remove(path);
    Fail("opening " + path);
  }
  const bool written = write(f) == 1;
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    std::filesystem::remove(path);
    Fail("writing " + path);
  }
}

}  // namespace

bool EnsureSelfSignedCertificate(const std::string& certificateFile, const std::string& keyFile)
{
  const bool haveCert = std::filesystem::exists(certificateFile);
  const bool haveKey = std::filesystem::exists(keyFile);
  if (haveCert && haveKey)
    return false;
  if (haveCert || haveKey)
    throw std::runtime_error("the web console has " + (haveCert ? certificateFile : keyFile) + " but not " +
                             (haveCert ? keyFile : certificateFile) + "; give both or neither");

  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key)
    Fail("key");
  CertPtr cert(X509_new());
  if (!cert)
    Fail("certificate");
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1)
    Fail("serial number");
  serial[0] &= 0x7F;  // a positive number
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  if (!bn || !BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())))
    Fail("serial number");
  BN_free(bn);
  X509_set_version(cert.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 825L * 24 * 3600);  // the longest that browsers accept
  X509_set_pubkey(cert.get(), key.get());

  char host[256] = "localhost";
  ::gethostname(host, sizeof host - 1);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Corvex web console"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(host), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  const std::string alt = std::string("DNS:") + host + ",DNS:localhost,IP:127.0.0.1,IP:::1";
  AddExtension(cert.get(), NID_subject_alt_name, alt.c_str());
  AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature");
  AddExtension(cert.get(), NID_ext_key_usage, "serverAuth");
  if (!X509_sign(cert.get(), key.get(), EVP_sha256()))
    Fail("signature");

  WritePem(keyFile, 0600, [&](FILE* f) { return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  try {
    WritePem(certificateFile, 0644, [&](FILE* f) { return PEM_write_X509(f, cert.get()); });
  } catch (...) {
    std::filesystem::remove(keyFile);
    throw;
  }
  return true;
}

}  // namespace corvexweb

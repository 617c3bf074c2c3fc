#include "messaging/Certificates.h"

#include <arpa/inet.h>

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace messaging {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter
{
  void operator()(T* p) const { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

// The failure with the crypto library's own reason, which names what it refused.
[[noreturn]] void Fail(const std::string& what)
{
  std::string text = what;
  if (const unsigned long code = ERR_get_error()) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    text += " (" + std::string(reason) + ")";
  }
  ERR_clear_error();
  throw CertificateError(text);
}

Pkey NewP256Key()
{
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key)
    Fail("cannot make an EC P-256 key");
  return key;
}

// 16 random bytes, the top bit clear so that the serial is positive.
void SetRandomSerial(X509* cert)
{
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    Fail("no random bytes for a serial number");
  bytes[0] &= 0x7F;
  bytes[0] |= 0x01;  // never a leading zero byte either
  std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>> number(BN_bin2bn(bytes, sizeof bytes, nullptr));
  if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)))
    Fail("cannot set a serial number");
}

void SetName(X509_NAME* name, const std::string& commonName)
{
  if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Corvex messaging"), -1,
                                 -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                                 -1, -1, 0) != 1)
    Fail("cannot set the name \"" + commonName + "\"");
}

X509Ptr NewCertificate(EVP_PKEY* key, const std::string& commonName, int validDays)
{
  X509Ptr cert(X509_new());
  if (!cert || X509_set_version(cert.get(), 2) != 1)
    Fail("cannot make a certificate");
  SetRandomSerial(cert.get());
  // A minute back, so that a peer whose clock is slightly behind accepts it at once.
  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), validDays, 0, nullptr))
    Fail("cannot set the validity");
  SetName(X509_get_subject_name(cert.get()), commonName);
  if (X509_set_pubkey(cert.get(), key) != 1)
    Fail("cannot set the public key");
  return cert;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext)
    Fail("cannot make the extension " + std::string(OBJ_nid2sn(nid)) + " = " + value);
  const int added = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  if (added != 1)
    Fail("cannot add the extension " + std::string(OBJ_nid2sn(nid)));
}

void SignWith(X509* cert, EVP_PKEY* key)
{
  if (X509_sign(cert, key, EVP_sha256()) <= 0)
    Fail("cannot sign the certificate");
}

std::string BioText(BIO* bio)
{
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

PemCertificate ToPem(X509* cert, EVP_PKEY* key)
{
  PemCertificate pem;
  BioPtr certBio(BIO_new(BIO_s_mem()));
  if (!certBio || PEM_write_bio_X509(certBio.get(), cert) != 1)
    Fail("cannot write the certificate");
  pem.certificate = BioText(certBio.get());
  // BIO_s_secmem keeps the key's text out of ordinary heap pages and clears them when freed.
  BioPtr keyBio(BIO_new(BIO_s_secmem()));
  if (!keyBio || PEM_write_bio_PrivateKey(keyBio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    Fail("cannot write the private key");
  pem.privateKey = BioText(keyBio.get());
  return pem;
}

std::string SubjectAltNames(const std::vector<std::string>& names)
{
  std::string text;
  std::vector<std::string> seen;
  for (const std::string& name : names) {
    if (name.empty())
      continue;
    unsigned char address[16];
    const bool ip = inet_pton(AF_INET, name.c_str(), address) == 1 || inet_pton(AF_INET6, name.c_str(), address) == 1;
    if (!ip && name.find_first_of(",: \t\r\n") != std::string::npos)
      throw CertificateError("\"" + name + "\" is not a host name");
    const std::string entry = (ip ? "IP:" : "DNS:") + name;
    bool duplicate = false;
    for (const std::string& s : seen)
      duplicate = duplicate || s == entry;
    if (duplicate)
      continue;
    seen.push_back(entry);
    if (!text.empty())
      text += ',';
    text += entry;
  }
  if (text.empty())
    throw CertificateError("a server certificate needs a name");
  return text;
}

}  // namespace

PemCertificate::~PemCertificate()
{
  OPENSSL_cleanse(privateKey.data(), privateKey.size());
}

PemCertificate NewCertificateAuthority(const std::string& commonName, int validDays)
{
  const Pkey key = NewP256Key();
  X509Ptr cert = NewCertificate(key.get(), commonName, validDays);
  if (X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) != 1)
    Fail("cannot set the issuer");
  AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
  AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  AddExtension(cert.get(), cert.get(), NID_authority_key_identifier, "keyid:always");
  SignWith(cert.get(), key.get());
  return ToPem(cert.get(), key.get());
}

PemCertificate NewServerCertificate(const std::string& authorityCertificate, const std::string& authorityKey,
                                    const std::vector<std::string>& names, int validDays, bool peer)
{
  const std::string altNames = SubjectAltNames(names);
  BioPtr certBio(BIO_new_mem_buf(authorityCertificate.data(), static_cast<int>(authorityCertificate.size())));
  X509Ptr ca(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!ca)
    Fail("the authority's certificate does not read");
  BioPtr keyBio(BIO_new_mem_buf(authorityKey.data(), static_cast<int>(authorityKey.size())));
  Pkey caKey(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!caKey)
    Fail("the authority's key does not read");
  if (X509_check_private_key(ca.get(), caKey.get()) != 1)
    Fail("the authority's key does not belong to its certificate");

  std::string commonName;
  for (const std::string& name : names)
    if (commonName.empty())
      commonName = name;
  const Pkey key = NewP256Key();
  X509Ptr cert = NewCertificate(key.get(), commonName, validDays);
  if (X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get())) != 1)
    Fail("cannot set the issuer");
  AddExtension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
  AddExtension(cert.get(), ca.get(), NID_ext_key_usage, peer ? "serverAuth,clientAuth" : "serverAuth");
  AddExtension(cert.get(), ca.get(), NID_subject_key_identifier, "hash");
  AddExtension(cert.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  AddExtension(cert.get(), ca.get(), NID_subject_alt_name, altNames);
  SignWith(cert.get(), caKey.get());
  return ToPem(cert.get(), key.get());
}

}  // namespace messaging

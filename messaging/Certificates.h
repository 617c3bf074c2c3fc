#pragma once
// The deployment's own certificate authority and the messaging server's certificate, as PEM
// texts. Clients trust the authority's certificate alone (the file ca.pem of a messaging
// location), so no public authority is needed and no other server is trusted.
#include <stdexcept>
#include <string>
#include <vector>

namespace messaging {

class CertificateError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

struct PemCertificate
{
  std::string certificate;  // "-----BEGIN CERTIFICATE-----..."
  std::string privateKey;   // PKCS#8, unencrypted: to be kept mode 0600; wiped when this goes

  PemCertificate() = default;
  PemCertificate(PemCertificate&&) = default;
  ~PemCertificate();
};

// A self-signed EC P-256 authority (CA:true, path length 0, key usage certificate and CRL
// signing) valid from now for validDays days.
PemCertificate NewCertificateAuthority(const std::string& commonName, int validDays = 3653);

// A server certificate (EC P-256, TLS server use) signed by the authority, for every name:
// IPv4/IPv6 literals become IP names, the rest DNS names; the first name is the subject's
// common name. `peer`: also for TLS client use, for a server that connects to other servers
// (cluster routes, a site's link to the head office), which check it as a client's.
// Throws CertificateError when the authority's texts do not read or do not match.
PemCertificate NewServerCertificate(const std::string& authorityCertificate, const std::string& authorityKey,
                                    const std::vector<std::string>& names, int validDays = 3653, bool peer = false);

}  // namespace messaging

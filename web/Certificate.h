#pragma once
// The web console's TLS identity: when neither the certificate nor the key file exists, a
// self-signed certificate for this host (and localhost) is made at start, so that a new
// installation is encrypted from its first page. An administrator replaces both files with a
// certificate of the organisation's own.
#include <string>

namespace corvexweb {

// Makes the pair when both files are missing and returns true; returns false when both exist.
// Only one of them existing, or any failure to make them, throws std::runtime_error. The key is
// written readable by its owner only.
bool EnsureSelfSignedCertificate(const std::string& certificateFile, const std::string& keyFile);

}  // namespace corvexweb

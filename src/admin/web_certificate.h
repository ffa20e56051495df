// The web console's certificate: a self-signed one made when the console is
// first enabled, and the SHA-256 fingerprint of whichever certificate it
// serves, so that an administrator can check the first visit.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/status.h"

namespace corvan {

// Makes a new P-256 key and a self-signed certificate for `hostNames` (the
// first is the subject's common name; each also goes in the subject's
// alternative names, as does every literal IP address in `addresses`), valid
// for ten years from now. Both files are written mode 0600 through temporary
// files.
Status MakeSelfSignedCertificate(const std::filesystem::path& certFile, const std::filesystem::path& keyFile,
                                 const std::vector<std::string>& hostNames, const std::vector<std::string>& addresses);

// The SHA-256 fingerprint of the first certificate in the PEM file, as
// upper-case hex pairs joined by ':'.
Result<std::string> CertificateFingerprint(const std::filesystem::path& certFile);

// Whether the PEM files hold a certificate and the private key that belongs
// to it; the reason when not.
Status CheckCertificatePair(const std::filesystem::path& certFile, const std::filesystem::path& keyFile);

}  // namespace corvan

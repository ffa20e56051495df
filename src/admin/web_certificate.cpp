#include "admin/web_certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "storage/private_files.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

// Owners of OpenSSL objects.
struct BioFree {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct BignumFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, ExtensionFree>;
using BignumPtr = std::unique_ptr<BIGNUM, BignumFree>;

// A key protected by a pass phrase is refused rather than asked for on the
// terminal (OpenSSL's default when no callback is given).
int NoPassphrase(char*, int, int, void*) { return 0; }

// The last OpenSSL error of this thread, for a message; the queue is emptied.
std::string OpenSslError(const std::string& step) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  char text[256] = {};
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return step + (code != 0 ? std::string("：") + text : std::string());
}

Status Failure(const std::string& step) { return Status(StatusCode::kInternal, OpenSslError(step)); }

// The PEM text held by a memory BIO.
std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

Result<X509Ptr> ReadCertificate(const fs::path& certFile) {
  BioPtr bio(BIO_new_file(certFile.c_str(), "r"));
  if (!bio) return Status(StatusCode::kIoFailed, OpenSslError("无法读取证书 " + certFile.string()));
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, &NoPassphrase, nullptr));
  if (!cert) return Status(StatusCode::kInvalidInput, OpenSslError("证书 " + certFile.string() + " 无效"));
  return cert;
}

}  // namespace

Status MakeSelfSignedCertificate(const fs::path& certFile, const fs::path& keyFile,
                                 const std::vector<std::string>& hostNames, const std::vector<std::string>& addresses) {
  if (hostNames.empty()) return Status(StatusCode::kInvalidInput, "证书需要主机名");
  PkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return Failure("无法生成密钥");
  X509Ptr cert(X509_new());
  if (!cert) return Failure("无法生成证书");
  BignumPtr serial(BN_new());
  if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr)
    return Failure("无法生成证书序列号");
  constexpr long kTenYears = 10L * 365 * 24 * 3600;
  X509_NAME* name = X509_get_subject_name(cert.get());
  const auto* cn = reinterpret_cast<const unsigned char*>(hostNames.front().c_str());
  const auto* org = reinterpret_cast<const unsigned char*>("Corvan");
  std::string altNames;
  for (const auto& h : hostNames) altNames += (altNames.empty() ? "DNS:" : ",DNS:") + h;
  for (const auto& a : addresses) altNames += ",IP:" + a;
  bool ok = X509_set_version(cert.get(), 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), kTenYears) &&
            X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, org, -1, -1, 0) == 1 &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0) == 1 &&
            X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1 &&
            AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
            AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
            AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
            AddExtension(cert.get(), NID_subject_alt_name, altNames) &&
            X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) return Failure("无法生成证书");

  BioPtr keyPem(BIO_new(BIO_s_mem()));
  BioPtr certPem(BIO_new(BIO_s_mem()));
  if (!keyPem || !certPem ||
      PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_X509(certPem.get(), cert.get()) != 1)
    return Failure("无法写出证书");
  if (Status s = WritePrivateFile(keyFile, BioText(keyPem.get())); !s.IsOk()) return s;
  return WritePrivateFile(certFile, BioText(certPem.get()));
}

Result<std::string> CertificateFingerprint(const fs::path& certFile) {
  Result<X509Ptr> cert = ReadCertificate(certFile);
  if (!cert.IsOk()) return cert.GetStatus();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(cert.Value().get(), EVP_sha256(), digest, &size) != 1) return Failure("无法计算证书指纹");
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    if (i > 0) out += ':';
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xF];
  }
  return out;
}

Status CheckCertificatePair(const fs::path& certFile, const fs::path& keyFile) {
  Result<X509Ptr> cert = ReadCertificate(certFile);
  if (!cert.IsOk()) return cert.GetStatus();
  BioPtr bio(BIO_new_file(keyFile.c_str(), "r"));
  if (!bio) return Status(StatusCode::kIoFailed, OpenSslError("无法读取私钥 " + keyFile.string()));
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, &NoPassphrase, nullptr));
  if (!key) return Status(StatusCode::kInvalidInput, OpenSslError("私钥 " + keyFile.string() + " 无效"));
  if (X509_check_private_key(cert.Value().get(), key.get()) != 1)
    return Status(StatusCode::kInvalidInput, OpenSslError("私钥与证书不匹配"));
  return Status::Ok();
}

}  // namespace corvan

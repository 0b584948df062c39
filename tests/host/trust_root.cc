// Makes a test CA trusted by the programs of one wine prefix: adds the
// certificate to the current user's "ROOT" system store of the prefix the
// program runs in (never run it outside a test prefix). Earlier runs' CAs
// stay beside it (wine does not keep a deletion from that store); a fresh
// prefix, or "reg delete" of
// HKCU\Software\Microsoft\SystemCertificates\Root\Certificates, clears them.
//
//   trust_root.exe CERT_FILE
//
// CERT_FILE holds one certificate, DER or PEM. Exit status: 0 when the
// certificate is in the store, 1 when it could not be read or added, 2 for
// bad arguments.
// clang-format off
#include <windows.h>
#include <wincrypt.h>  // after windows.h, which it builds on
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool ReadFileBytes(const char* path, std::string* out) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) out->append(buf, n);
  return std::fclose(f) == 0 && !out->empty();
}

// DER bytes of `text`: itself, or the decoded body of a PEM block.
std::string Der(const std::string& text) {
  if (text.find("-----BEGIN") == std::string::npos) return text;
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                            CRYPT_STRING_BASE64HEADER, nullptr, &size,
                            /*pdwSkip=*/nullptr, /*pdwFlags=*/nullptr)) {
    return std::string();
  }
  std::string der(size, '\0');
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                            CRYPT_STRING_BASE64HEADER,
                            reinterpret_cast<BYTE*>(&der[0]), &size,
                            /*pdwSkip=*/nullptr, /*pdwFlags=*/nullptr)) {
    return std::string();
  }
  der.resize(size);
  return der;
}

// The current user's root store of this prefix, or null (said on stderr).
HCERTSTORE OpenRoot() {
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, /*dwEncodingType=*/0,
                    /*hCryptProv=*/0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
  if (store == nullptr) {
    std::fprintf(stderr, "trust_root: no root store (%lu)\n", GetLastError());
  }
  return store;
}

int Run(const char* path) {
  std::string der;
  if (!ReadFileBytes(path, &der) || (der = Der(der)).empty()) {
    std::fprintf(stderr, "trust_root: cannot read a certificate from %s\n",
                 path);
    return 1;
  }
  PCCERT_CONTEXT cert = CertCreateCertificateContext(
      X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()));
  if (cert == nullptr) {
    std::fprintf(stderr, "trust_root: %s is no certificate\n", path);
    return 1;
  }
  CertFreeCertificateContext(cert);
  HCERTSTORE store = OpenRoot();
  if (store == nullptr) return 1;
  BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
      /*ppCertContext=*/nullptr);
  DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    std::fprintf(stderr, "trust_root: cannot add the certificate (%lu)\n",
                 error);
    return 1;
  }
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc != 2) {
    std::fprintf(stderr, "usage: trust_root.exe CERT_FILE\n");
    return 2;
  }
  return Run(__argv[1]);
}

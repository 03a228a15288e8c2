#include "certificates.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace
{

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct KeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using FilePtr = std::unique_ptr<FILE, FileClose>;

constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

std::string OpenSslError(const std::string& what)
{
    unsigned long code = ERR_get_error();
    char buf[256] = "unknown error";
    if (code != 0)
        ERR_error_string_n(code, buf, sizeof buf);
    ERR_clear_error();
    return what + ": " + buf;
}

// Private keys are created owner-only from the start rather than chmod-ed
// afterwards, so they are never readable by others even for a moment.
FilePtr OpenForWrite(const std::string& path, mode_t mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return nullptr;
    FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        ::close(fd);
        return nullptr;
    }
    return FilePtr(f);
}

// Writes a file beside its final name and renames it into place once it is
// whole, so no reader ever finds it empty or half written.
template <typename Write> bool WriteAtomically(const std::string& path, mode_t mode, Write write)
{
    const std::string temp = path + ".tmp";
    FilePtr f = OpenForWrite(temp, mode);
    bool ok = f && write(f.get()) && std::fflush(f.get()) == 0 && ::fsync(::fileno(f.get())) == 0;
    if (f)
        ok = std::fclose(f.release()) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    std::remove(temp.c_str());
    return false;
}

// Held while the material is checked and made: servers started at once on
// one data folder take turns, and the later ones find what the first made.
class FolderLock
{
public:
    explicit FolderLock(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd;
};

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool SetRandomSerial(X509* cert)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] &= 0x7f; // serial numbers must be positive
    BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
    if (!bn)
        return false;
    bool ok = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
    BN_free(bn);
    return ok;
}

X509Ptr NewCertificate(EVP_PKEY* key, const char* commonName)
{
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1 || !SetRandomSerial(cert.get()))
        return nullptr;
    // Back-dated an hour so a client clock slightly behind still accepts it.
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600)
        || !X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds))
        return nullptr;
    if (X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(
        name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quorvel"), -1, -1, 0);
    if (X509_NAME_add_entry_by_txt(
            name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0)
        != 1)
        return nullptr;
    return cert;
}

bool WriteCert(const std::string& path, X509* cert)
{
    return WriteAtomically(path, 0644, [cert](FILE* f) { return PEM_write_X509(f, cert) == 1; });
}

bool WriteKey(const std::string& path, EVP_PKEY* key)
{
    return WriteAtomically(path, 0600,
        [key](FILE* f) { return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1; });
}

X509Ptr ReadCert(const std::string& path)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return nullptr;
    return X509Ptr(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
}

KeyPtr ReadKey(const std::string& path)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return nullptr;
    return KeyPtr(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr));
}

bool MakeCa(const CertificateFiles& files, X509Ptr& caCert, KeyPtr& caKey, std::string& error)
{
    caKey.reset(EVP_EC_gen("P-256"));
    if (!caKey) {
        error = OpenSslError("CA key");
        return false;
    }
    caCert = NewCertificate(caKey.get(), "Quorvel cloud stand-in CA");
    if (!caCert || X509_set_issuer_name(caCert.get(), X509_get_subject_name(caCert.get())) != 1
        || !AddExtension(caCert.get(), caCert.get(), NID_basic_constraints, "critical,CA:TRUE")
        || !AddExtension(caCert.get(), caCert.get(), NID_key_usage, "critical,keyCertSign,cRLSign")
        || !AddExtension(caCert.get(), caCert.get(), NID_subject_key_identifier, "hash")
        || X509_sign(caCert.get(), caKey.get(), EVP_sha256()) == 0) {
        error = OpenSslError("CA certificate");
        return false;
    }
    if (!WriteKey(files.caKey, caKey.get()) || !WriteCert(files.caCert, caCert.get())) {
        error = "cannot write " + files.caCert;
        return false;
    }
    return true;
}

bool MakeServer(const CertificateFiles& files, X509* caCert, EVP_PKEY* caKey, std::string& error)
{
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        error = OpenSslError("server key");
        return false;
    }
    X509Ptr cert = NewCertificate(key.get(), "127.0.0.1");
    if (!cert || X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert)) != 1
        || !AddExtension(cert.get(), caCert, NID_basic_constraints, "critical,CA:FALSE")
        || !AddExtension(cert.get(), caCert, NID_key_usage, "critical,digitalSignature,keyEncipherment")
        || !AddExtension(cert.get(), caCert, NID_ext_key_usage, "serverAuth")
        || !AddExtension(cert.get(), caCert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1")
        || !AddExtension(cert.get(), caCert, NID_subject_key_identifier, "hash")
        || !AddExtension(cert.get(), caCert, NID_authority_key_identifier, "keyid:always")
        || X509_sign(cert.get(), caKey, EVP_sha256()) == 0) {
        error = OpenSslError("server certificate");
        return false;
    }
    if (!WriteKey(files.serverKey, key.get()) || !WriteCert(files.serverCert, cert.get())) {
        error = "cannot write " + files.serverCert;
        return false;
    }
    return true;
}

// A server certificate made by an earlier CA (the CA file was replaced by
// hand) would be refused by every client, so it is made anew.
bool ServerMatchesCa(const CertificateFiles& files, X509* caCert)
{
    X509Ptr server = ReadCert(files.serverCert);
    KeyPtr serverKey = ReadKey(files.serverKey);
    if (!server || !serverKey || X509_check_private_key(server.get(), serverKey.get()) != 1)
        return false;
    EVP_PKEY* caPublic = X509_get0_pubkey(caCert);
    return caPublic && X509_verify(server.get(), caPublic) == 1;
}

} // namespace

bool EnsureCertificates(const std::string& dataDir, CertificateFiles& files, std::string& error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(dataDir, ec);
    if (!fs::is_directory(dataDir)) {
        error = "cannot create data folder " + dataDir;
        return false;
    }
    const fs::path dir(dataDir);
    files.caCert = (dir / "ca.pem").string();
    files.caKey = (dir / "ca-key.pem").string();
    files.serverCert = (dir / "server.pem").string();
    files.serverKey = (dir / "server-key.pem").string();

    const FolderLock lock((dir / "certificates.lock").string());
    if (!lock.Held()) {
        error = "cannot lock the data folder " + dataDir;
        return false;
    }
    X509Ptr caCert = ReadCert(files.caCert);
    KeyPtr caKey = ReadKey(files.caKey);
    bool caUsable = caCert && caKey && X509_check_private_key(caCert.get(), caKey.get()) == 1;
    ERR_clear_error();
    if (!caUsable) {
        if (!MakeCa(files, caCert, caKey, error))
            return false;
    } else if (ServerMatchesCa(files, caCert.get())) {
        return true;
    }
    ERR_clear_error();
    return MakeServer(files, caCert.get(), caKey.get(), error);
}

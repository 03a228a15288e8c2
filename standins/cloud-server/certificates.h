#pragma once

#include <string>

// Paths of the TLS material the stand-in serves with. The CA file is what a
// client trusts; the two keys never leave the data folder.
struct CertificateFiles {
    std::string caCert;
    std::string caKey;
    std::string serverCert;
    std::string serverKey;
};

// Makes sure dataDir holds a self-signed certificate authority and a server
// certificate for 127.0.0.1 and localhost signed by it, creating whatever is
// missing (an existing CA is kept so clients that already trust it go on
// working). Returns false and fills error on failure.
bool EnsureCertificates(const std::string& dataDir, CertificateFiles& files, std::string& error);

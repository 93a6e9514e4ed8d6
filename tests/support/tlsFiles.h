// Throw-away TLS material for the tests, made with the openssl command at run
// time in a directory of the test's own: nothing secret lives in the source.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The key of both CAs, hence how they sign. P-256 is quick to make; RSA is
// for clients under Wine: Wine 8's crypt32 rejects an ECDSA signature whose r
// or s has fewer than 32 significant bytes (about one signature in 128), so
// an EC-signed chain would fail there now and then.
enum class CaKey { Ec, Rsa };

struct TlsFiles {
    std::string caPem;           // the CA the clients trust
    // Clients name the server by 127.0.0.1 (matched against the IP entry)
    // or localhost (the DNS entry); the host turns IceSSL.CheckCertName on.
    std::string serverP12;       // localhost and 127.0.0.1, signed by that CA
    std::string wrongCaP12;      // localhost and 127.0.0.1, signed by another CA
    std::string wrongNameP12;    // logs.example.org, signed by the trusted CA
    std::string wrongIpP12;      // 127.0.0.2 only, signed by the trusted CA
    std::string password;        // of the four PKCS#12 files
    std::string error;           // set when openssl failed
};

// Writes everything into dir (which must exist).
TlsFiles makeTlsFiles(const std::string& dir, CaKey caKey = CaKey::Ec);

// Server arguments that listen on ssl (and tcp too when tcpPort > 0) with the
// given PKCS#12 certificate.
std::vector<std::string> sslServerArgs(const TlsFiles& tls, const std::string& p12, int sslPort, int tcpPort = 0);

}  // namespace testsupport

// Throw-away TLS material for the tests, made with the openssl command at run
// time in a directory of the test's own: nothing secret lives in the source.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct TlsFiles {
    std::string caPem;           // the CA the clients trust
    // Clients name the server "localhost" (the loopback address): IceSSL
    // 3.7.8 with OpenSSL 3 rejects every IP-address name check.
    std::string serverP12;       // localhost, signed by that CA
    std::string wrongCaP12;      // localhost, signed by another CA
    std::string wrongNameP12;    // logs.example.org, signed by the trusted CA
    std::string password;        // of the three PKCS#12 files
    std::string error;           // set when openssl failed
};

// Writes everything into dir (which must exist).
TlsFiles makeTlsFiles(const std::string& dir);

// Server arguments that listen on ssl (and tcp too when tcpPort > 0) with the
// given PKCS#12 certificate.
std::vector<std::string> sslServerArgs(const TlsFiles& tls, const std::string& p12, int sslPort, int tcpPort = 0);

}  // namespace testsupport

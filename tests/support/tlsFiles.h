// Throw-away TLS material for the tests, made with the openssl command at run
// time in a directory of the test's own: nothing secret lives in the source.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct TlsFiles {
    std::string caPem;           // the CA the clients trust
    std::string serverP12;       // 127.0.0.1, signed by that CA
    std::string wrongCaP12;      // 127.0.0.1, signed by another CA
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

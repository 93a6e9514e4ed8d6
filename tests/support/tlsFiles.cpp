#include "tlsFiles.h"

#include <cstdlib>
#include <fstream>

namespace testsupport {
namespace {

bool run(const std::string& dir, const std::string& command, std::string& error) {
    const std::string full = "cd '" + dir + "' && " + command + " >>openssl.log 2>&1";
    if (std::system(full.c_str()) == 0) return true;
    error = "failed: " + command + " (see " + dir + "/openssl.log)";
    return false;
}

// A CA (name.key, name.pem).
bool makeCa(const std::string& dir, const std::string& name, CaKey key, std::string& error) {
    const std::string newKey =
        key == CaKey::Rsa ? "-newkey rsa:2048" : "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1";
    return run(dir,
               "openssl req -x509 " + newKey + " -nodes -days 2 -keyout " + name + ".key -out " + name +
                   ".pem -subj '/CN=" + name + "'",
               error);
}

bool writeExtensions(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out) return true;
    error = "cannot write " + path;
    return false;
}

bool makeServer(const std::string& dir, const std::string& ca, const std::string& name, const std::string& cn,
                const std::string& san, const std::string& password, std::string& error) {
    // Written here, not by the shell: run() sends the command's output to the
    // log, which would leave a redirected extension file empty and the
    // certificate without its subjectAltName.
    if (!writeExtensions(dir + "/" + name + ".ext", "subjectAltName=" + san + "\n", error)) return false;
    return run(dir,
               "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + name + ".key -out " +
                   name + ".csr -subj '/CN=" + cn + "'",
               error) &&
           run(dir,
               "openssl x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -days 2 -out " +
                   name + ".pem -extfile " + name + ".ext",
               error) &&
           run(dir,
               "openssl pkcs12 -export -in " + name + ".pem -inkey " + name + ".key -certfile " + ca + ".pem -out " +
                   name + ".p12 -passout pass:" + password,
               error);
}

}  // namespace

TlsFiles makeTlsFiles(const std::string& dir, CaKey caKey) {
    TlsFiles tls;
    tls.password = "throwaway";
    std::string& e = tls.error;
    if (makeCa(dir, "ca", caKey, e) && makeCa(dir, "otherca", caKey, e) &&
        makeServer(dir, "ca", "server", "localhost", "DNS:localhost,IP:127.0.0.1", tls.password, e) &&
        makeServer(dir, "otherca", "wrongca", "localhost", "DNS:localhost,IP:127.0.0.1", tls.password, e) &&
        makeServer(dir, "ca", "wrongname", "logs.example.org", "DNS:logs.example.org", tls.password, e) &&
        makeServer(dir, "ca", "wrongip", "127.0.0.2", "IP:127.0.0.2", tls.password, e)) {
        tls.caPem = dir + "/ca.pem";
        tls.serverP12 = dir + "/server.p12";
        tls.wrongCaP12 = dir + "/wrongca.p12";
        tls.wrongNameP12 = dir + "/wrongname.p12";
        tls.wrongIpP12 = dir + "/wrongip.p12";
    }
    return tls;
}

std::vector<std::string> sslServerArgs(const TlsFiles& tls, const std::string& p12, int sslPort, int tcpPort) {
    std::string endpoints = "ssl -h 127.0.0.1 -p " + std::to_string(sslPort);
    if (tcpPort > 0) endpoints += ":tcp -h 127.0.0.1 -p " + std::to_string(tcpPort);
    return {"--endpoints", endpoints, "--Ice.Plugin.IceSSL=IceSSL:createIceSSL", "--IceSSL.CertFile=" + p12,
            "--IceSSL.Password=" + tls.password, "--IceSSL.VerifyPeer=0"};
}

}  // namespace testsupport

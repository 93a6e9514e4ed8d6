// The operator's settings files: what is kept, what a later file overrides,
// and paths that follow the file that names them.
#include <gtest/gtest.h>

#include <filesystem>

#include "ice/operatorSettings.h"
#include "testSupport.h"

using NQBase::operatorSettings::read;
using NQBase::operatorSettings::resolveAgainstFileFolder;

namespace {

std::string valueOf(const Ice::PropertyDict& settings, const std::string& key) {
    auto it = settings.find(key);
    return it == settings.end() ? "<unset>" : it->second;
}

TEST(OperatorSettings, RelativePathsFollowTheFileThatNamesThem) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.file("app/conf"));
    const std::string file = dir.file("app/logReport.config");
    testsupport::writeFile(file,
                           "LogReport.Transport=ssl\nLogReport.Token=t-1\nIceSSL.CAs=ca.pem\n"
                           "IceSSL.CertFile=conf/client.p12\nIceSSL.KeyFile=/etc/keys/k.pem\n"
                           "IceSSL.DefaultDir=certs\nIceSSL.CheckCertName=1\nIce.Trace.Network=3\n");
    const Ice::PropertyDict settings = read({file});
    EXPECT_EQ(valueOf(settings, "IceSSL.CAs"), dir.file("app/ca.pem"));
    EXPECT_EQ(valueOf(settings, "IceSSL.CertFile"), dir.file("app/conf/client.p12"));
    EXPECT_EQ(valueOf(settings, "IceSSL.DefaultDir"), dir.file("app/certs"));
    EXPECT_EQ(valueOf(settings, "IceSSL.KeyFile"), "/etc/keys/k.pem");
    EXPECT_EQ(valueOf(settings, "IceSSL.CheckCertName"), "1") << "values that are no paths stay as written";
    EXPECT_EQ(valueOf(settings, "LogReport.Token"), "t-1");
    EXPECT_EQ(valueOf(settings, "Ice.Trace.Network"), "<unset>") << "only LogReport.* and IceSSL.* are taken";
}

TEST(OperatorSettings, LaterFileOverridesAndItsPathsFollowIt) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.file("shipped"));
    std::filesystem::create_directories(dir.file("site"));
    testsupport::writeFile(dir.file("shipped/logReport.config"), "IceSSL.CAs=ca.pem\nLogReport.Token=old\n");
    testsupport::writeFile(dir.file("site/override.config"), "IceSSL.CAs=site-ca.pem\n");
    const Ice::PropertyDict settings =
        read({dir.file("shipped/logReport.config"), dir.file("missing.config"), dir.file("site/override.config")});
    EXPECT_EQ(valueOf(settings, "IceSSL.CAs"), dir.file("site/site-ca.pem"));
    EXPECT_EQ(valueOf(settings, "LogReport.Token"), "old") << "an unreadable file in between changes nothing";
}

TEST(OperatorSettings, BothSystemsPathFormsAreRecognised) {
    EXPECT_EQ(resolveAgainstFileFolder("C:\\Program Files\\Conf\\logReport.config", "ca.pem"),
              "C:\\Program Files\\Conf\\ca.pem");
    EXPECT_EQ(resolveAgainstFileFolder("C:\\app\\logReport.config", "D:/certs/ca.pem"), "D:/certs/ca.pem");
    EXPECT_EQ(resolveAgainstFileFolder("C:\\app\\logReport.config", "\\\\files\\certs\\ca.pem"),
              "\\\\files\\certs\\ca.pem");
    EXPECT_EQ(resolveAgainstFileFolder("/opt/app/logReport.config", "../ca.pem"), "/opt/app/../ca.pem");
    EXPECT_EQ(resolveAgainstFileFolder("client.config", "ca.pem"), "ca.pem")
        << "a file found in the working folder keeps its paths relative to it";
    EXPECT_EQ(resolveAgainstFileFolder("/opt/app/logReport.config", ""), "");
}

}  // namespace

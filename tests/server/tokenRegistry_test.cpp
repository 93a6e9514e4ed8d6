// The tokens file is taken whole or not at all: whatever an editor or a
// half-finished copy can leave behind refuses the file and keeps the tokens
// in force.
#include <gtest/gtest.h>

#include "testSupport.h"
#include "tokenRegistry.h"

namespace {

using logserver::TokenRegistry;

const char kGood[] = "acme 0123456789abcdef-acme\nglobex 0123456789abcdef-globex\n";

class TokenRegistryTest : public ::testing::Test {
protected:
    // Loads text; returns the error, or empty when it was taken.
    std::string loadError(const std::string& text) {
        testsupport::writeFile(path_, text);
        std::string error;
        return registry_.load(error) ? std::string() : error;
    }
    testsupport::TempDir dir_;
    std::string path_ = dir_.file("tokens");
    TokenRegistry registry_{path_};
};

TEST_F(TokenRegistryTest, BadFilesAreRefusedWholeNamingTheLineAndOldTokensStay) {
    ASSERT_EQ("", loadError(kGood));
    const struct {
        std::string text;
        std::string error;
    } bad[] = {
        {"acme 0123456789abcdef-acme\nglobex 0123456789abcdef-acme\n", ":2: token already listed on line 1 for acme"},
        {"acme 0123456789abcdef-acme\nacme 0123456789abcdef-acme\n", ":2: token already listed on line 1"},
        {"acme 0123456789abcdef-acme\nacme sha256:" + std::string(64, 'a') + "\nx sha256:" + std::string(64, 'A') + "\n",
         ":3: token already listed on line 2 for acme"},
        // Cut short while being written: the prefix of a token must not become one.
        {"acme 0123456789abcdef-acme\nglobex 0123456789abcdef", ":2: last line has no end of line"},
        {"acme 0123456789abcdef-acme\n# a comment cut", ":2: last line has no end of line"},
        {"acme short-token\n", ":1: token shorter than 16 characters"},
        {"acme 0123456789abcdef-acme extra\n", ":1: expected ORGANISATION TOKEN"},
        {"../up 0123456789abcdef-acme\n", ":1: organisation name"},
        {"acme sha256:abc\n", ":1: sha256: must be followed by 64 hex digits"},
        {"# nothing\n", ": no tokens"},
    };
    for (const auto& b : bad) {
        const std::string error = loadError(b.text);
        EXPECT_NE(std::string::npos, error.find(path_ + b.error)) << b.text << " -> " << error;
        EXPECT_EQ("globex", registry_.organisationOf("0123456789abcdef-globex")) << b.text;
        EXPECT_EQ(2u, registry_.size());
    }
}

TEST_F(TokenRegistryTest, TakesHashedShortTokensCommentsAndCrLf) {
    // A hashed token's own length cannot be seen, so it is not checked.
    ASSERT_EQ("", loadError("# org token\r\n\nacme sha256:16367aacb67a4a017c8da8ab95682ccb390863780f7114dda0a0e0c55644c7c4\r\n"
                            "globex 0123456789abcdef\r\n"));
    EXPECT_EQ("globex", registry_.organisationOf("0123456789abcdef"));
    EXPECT_EQ("", registry_.organisationOf("0123456789abcde"));
    EXPECT_EQ("", registry_.organisationOf("0123456789abcdef0"));
    EXPECT_EQ(2u, registry_.size());
}

}  // namespace

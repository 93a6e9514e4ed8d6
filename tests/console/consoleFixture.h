// A console over a temporary store, served on 127.0.0.1 on a free port, with
// two operators: "ops" sees every organisation, "acme" only ACME.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "consoleServer.h"
#include "storeWriter.h"

namespace consoletest {

constexpr const char* kPassword = "correct horse";

class ConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the console over what the test wrote so far.
    void startConsole();
    httplib::Client client();
    // Signs in and returns the "Cookie" header value.
    std::string signIn(const std::string& name);
    httplib::Result get(const std::string& path, const std::string& cookie);
    // The first item's id of a search, or empty.
    std::string firstId(const std::string& query, const std::string& cookie);

    consolefixture::Upload upload(const std::string& client, const std::string& meeting, const std::string& time,
                                  const std::string& org = "") const;

    std::string dir_;
    std::string store_;
    std::unique_ptr<consolefixture::StoreWriter> writer_;
    std::unique_ptr<console::ConsoleServer> server_;
    std::thread serving_;
};

// Waits for cond, checking every 20 ms, up to a generous deadline.
bool waitFor(const std::function<bool()>& cond, std::chrono::seconds deadline = std::chrono::seconds(20));
std::string readFile(const std::string& path);

}  // namespace consoletest

#include "operatorFile.h"

#include <sodium.h>

#include <fstream>
#include <sstream>

namespace console {

bool OperatorFile::parse(const std::string& text, std::map<std::string, std::pair<Operator, std::string>>& out,
                         std::string& error) {
    out.clear();
    std::istringstream in(text);
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        const size_t hash = line.find('#');
        // A '#' inside the hash field would be part of it; hashes never hold
        // one, so a '#' always starts a comment.
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream fields(line);
        std::string name, org, pwhash, extra;
        if (!(fields >> name)) continue;
        if (!(fields >> org >> pwhash) || (fields >> extra)) {
            error = "line " + std::to_string(lineNo) + ": expected NAME ORGANISATION HASH";
            return false;
        }
        if (pwhash.size() >= crypto_pwhash_STRBYTES || pwhash.compare(0, 10, "$argon2id$") != 0) {
            error = "line " + std::to_string(lineNo) + ": HASH is not an Argon2id hash (use --hash-password)";
            return false;
        }
        auto& entry = out[name];
        if (!entry.second.empty() && entry.second != pwhash) {
            error = "line " + std::to_string(lineNo) + ": " + name + " has two different hashes";
            return false;
        }
        entry.first.name = name;
        entry.second = pwhash;
        if (org == "*")
            entry.first.allOrgs = true;
        else
            entry.first.orgs.push_back(org);
    }
    return true;
}

bool OperatorFile::load(const std::string& path, std::string& error) {
    path_ = path;
    return reload(error);
}

bool OperatorFile::reload(std::string& error) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        error = path_ + ": cannot be read";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::map<std::string, std::pair<Operator, std::string>> parsed;
    if (!parse(text.str(), parsed, error)) {
        error = path_ + ": " + error;
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    operators_ = std::move(parsed);
    return true;
}

bool OperatorFile::find(const std::string& name, Operator& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = operators_.find(name);
    if (it == operators_.end()) return false;
    out = it->second.first;
    return true;
}

bool OperatorFile::verify(const std::string& name, const std::string& password, Operator& out) {
    std::string pwhash;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = operators_.find(name);
        if (it != operators_.end()) {
            out = it->second.first;
            pwhash = it->second.second;
        }
    }
    std::lock_guard<std::mutex> one(verifyMutex_);
    if (pwhash.empty()) {
        // Spend the same time on an unknown name, so names cannot be told apart.
        static const std::string dummy = hashPassword("no such operator");
        if (crypto_pwhash_str_verify(dummy.c_str(), password.data(), password.size()) == 0) return false;
        return false;
    }
    return crypto_pwhash_str_verify(pwhash.c_str(), password.data(), password.size()) == 0;
}

std::string OperatorFile::hashPassword(const std::string& password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0)
        return {};
    return out;
}

}  // namespace console

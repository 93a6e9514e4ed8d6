// OperatorFile: who may sign in, read from a file of lines
// "NAME ORGANISATION HASH" ('*' as ORGANISATION = every organisation; '#'
// starts a comment; a name may have several lines, one per organisation).
// HASH is a crypto_pwhash_str string (Argon2id).
//
// Passwords are checked one at a time (a mutex around the check), so however
// many sign-ins arrive together only one Argon2 working area is in memory;
// hashes made by --hash-password use the interactive memory cost (64 MiB).
//
// reload() may run from any thread (SIGHUP); a failed reload keeps the
// operators that were there.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace console {

struct Operator {
    std::string name;
    bool allOrgs = false;
    std::vector<std::string> orgs;
};

class OperatorFile {
public:
    bool load(const std::string& path, std::string& error);
    bool reload(std::string& error);
    // True with `out` filled when the name exists and the password is its.
    bool verify(const std::string& name, const std::string& password, Operator& out);
    bool find(const std::string& name, Operator& out) const;

    // Parses the file's text; `error` names the first bad line.
    static bool parse(const std::string& text, std::map<std::string, std::pair<Operator, std::string>>& out,
                      std::string& error);
    // A new hash of password (for --hash-password); empty when out of memory.
    static std::string hashPassword(const std::string& password);

private:
    std::string path_;
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<Operator, std::string>> operators_;  // name to (operator, hash)
    std::mutex verifyMutex_;
};

}  // namespace console

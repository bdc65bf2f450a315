#include "archive/archive_config.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr const char kServiceUser[] = "ovretain";

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

bool ParseNumber(const std::string& text, unsigned low, unsigned high, unsigned* value) {
    char* end = nullptr;
    errno = 0;
    unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno || n < low || n > high) return false;
    *value = static_cast<unsigned>(n);
    return true;
}

}  // namespace

std::string ArchiveConfigPath() {
    const char* env = std::getenv("OVRT_ARCHIVE_CONFIG");
    return env && *env ? env : "/etc/ovretain/archive.conf";
}

std::string DefaultArchiveStatusFile(const std::string& space) {
    struct stat st {};
    if (stat("/run/ovretain", &st) == 0 && S_ISDIR(st.st_mode)) return "/run/ovretain/archive-" + space + ".status";
    return "/dev/shm/ovarchive-" + space + ".status";
}

bool PrivateFile(const std::string& path, std::string* why) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = path + " is not a regular file";
        return false;
    }
    const passwd* user = getpwnam(kServiceUser);
    const uid_t serviceUid = user ? user->pw_uid : 0;
    const gid_t serviceGid = user ? user->pw_gid : 0;
    if (st.st_uid != 0 && st.st_uid != serviceUid) {
        *why = path + " belongs to user " + std::to_string(st.st_uid) + ", not to root or " + kServiceUser;
        return false;
    }
    if (st.st_mode & (S_IROTH | S_IWOTH | S_IXOTH)) {
        *why = path + " may be read by others (mode " + std::to_string((st.st_mode >> 6) & 7) +
               std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) + "): chmod o-rwx it";
        return false;
    }
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) && st.st_gid != 0 && st.st_gid != serviceGid) {
        *why = path + " may be read by group " + std::to_string(st.st_gid) + ", not root's or " + kServiceUser + "'s";
        return false;
    }
    return true;
}

bool ReadArchiveConfig(const std::string& path, ArchiveConfig* config, std::string* why) {
    *config = ArchiveConfig{};
    if (!PrivateFile(path, why)) return false;
    std::ifstream in(path);
    if (!in) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    const char* env = std::getenv("OVNODE_SPACE");
    config->Space = env && *env ? env : "ovnodespace";
    std::string line;
    unsigned number = 0;
    bool prefixGiven = false, statusGiven = false;
    while (std::getline(in, line)) {
        ++number;
        std::string text = Trim(line.substr(0, line.find('#')));
        if (text.empty()) continue;
        size_t eq = text.find('=');
        const std::string where = path + " line " + std::to_string(number);
        if (eq == std::string::npos) {
            *why = where + ": not 'key = value'";
            return false;
        }
        const std::string key = Trim(text.substr(0, eq));
        const std::string value = Trim(text.substr(eq + 1));
        if (key == "endpoint") {
            config->Endpoint = value;
        } else if (key == "bucket") {
            config->Bucket = value;
        } else if (key == "region") {
            config->Region = value;
        } else if (key == "access_key") {
            config->AccessKey = value;
        } else if (key == "secret_key_file") {
            config->SecretKeyFile = value;
        } else if (key == "ca_file") {
            config->CaFile = value;
        } else if (key == "prefix") {
            config->Prefix = value;
            prefixGiven = true;
        } else if (key == "space") {
            config->Space = value;
        } else if (key == "retain_dir") {
            config->RetainDir = value;
        } else if (key == "status_file") {
            config->StatusFile = value;
            statusGiven = true;
        } else if (key == "keep") {
            if (!ParseNumber(value, 1, 100000, &config->Keep)) {
                *why = where + ": keep takes a number from 1 to 100000";
                return false;
            }
        } else if (key == "journal_period") {
            if (!ParseNumber(value, 1, 86400, &config->JournalPeriod)) {
                *why = where + ": journal_period takes seconds from 1 to 86400";
                return false;
            }
        } else {
            *why = where + ": unknown key '" + key + "'";
            return false;
        }
    }
    if (config->Endpoint.rfind("http://", 0) != 0 && config->Endpoint.rfind("https://", 0) != 0) {
        *why = path + ": endpoint must be an http:// or https:// URL";
        return false;
    }
    while (!config->Endpoint.empty() && config->Endpoint.back() == '/') config->Endpoint.pop_back();
    if (config->Bucket.empty() || config->AccessKey.empty() || config->SecretKeyFile.empty()) {
        *why = path + ": bucket, access_key and secret_key_file are needed";
        return false;
    }
    if (!prefixGiven) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0 || !host[0]) std::strcpy(host, "localhost");
        config->Prefix = std::string(host) + "/" + config->Space + "/";
    }
    if (config->Prefix.empty() || config->Prefix.back() != '/' || config->Prefix.front() == '/') {
        *why = path + ": prefix must end in '/' and not start with it";
        return false;
    }
    if (!statusGiven) config->StatusFile = DefaultArchiveStatusFile(config->Space);
    if (!PrivateFile(config->SecretKeyFile, why)) return false;
    std::ifstream secret(config->SecretKeyFile);
    if (!std::getline(secret, config->Secret) || Trim(config->Secret).empty()) {
        *why = config->SecretKeyFile + ": no secret key in it";
        return false;
    }
    config->Secret = Trim(config->Secret);
    return true;
}

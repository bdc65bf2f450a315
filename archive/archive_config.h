// archive_config.h - the archive's configuration: /etc/ovretain/archive.conf
// (or the file OVRT_ARCHIVE_CONFIG names), one "key = value" a line, '#'
// starting a comment, blank lines ignored:
//   endpoint         the store's URL, http:// or https://, no path
//   bucket           the bucket, which must exist
//   region           default us-east-1
//   access_key       the access key id
//   secret_key_file  a file whose first line is the secret key
//   ca_file          optional: the CA certificates the store's TLS
//                    certificate is verified against (else the system's)
//   prefix           this controller's place in the bucket, ending in '/';
//                    default "<host name>/<node space>/"
//   space            the node space (default $OVNODE_SPACE, else
//                    ovnodespace): names the default prefix and the status file
//   retain_dir       the directory the retain file lies in (default
//                    /var/lib/ovretain/drives/C/Orvale)
//   keep             sets kept per controller (default 48, 1 to 100000)
//   journal_period   seconds between shipments of the change journal
//                    (default 10, 1 to 86400)
//   status_file      where the archive's state is written (default
//                    /run/ovretain/archive-<space>.status when /run/ovretain
//                    exists, else /dev/shm/ovarchive-<space>.status)
// The configuration file and the secret must be regular files owned by root
// or the service's user (ovretain) that no one else may read: group access
// only for the group root or ovretain, nothing for others. Otherwise the
// configuration is refused. Nothing in it comes from the node space.
//
// Pure reads; callable from any thread. Failures are results with a reason
// that never holds the secret.
#pragma once

#include <string>

struct ArchiveConfig {
    std::string Endpoint;
    std::string Bucket;
    std::string Region = "us-east-1";
    std::string AccessKey;
    std::string SecretKeyFile;
    std::string Secret;
    std::string CaFile;
    std::string Prefix;
    std::string Space;
    std::string RetainDir = "/var/lib/ovretain/drives/C/Orvale";
    unsigned Keep = 48;
    unsigned JournalPeriod = 10;
    std::string StatusFile;
};

// OVRT_ARCHIVE_CONFIG, else /etc/ovretain/archive.conf.
std::string ArchiveConfigPath();
// Reads and checks the file and the secret; false with the reason.
bool ReadArchiveConfig(const std::string& path, ArchiveConfig* config, std::string* why);
// Whether only root and the service's user may read the file; the reason when not.
bool PrivateFile(const std::string& path, std::string* why);
// The status file's default for a node space.
std::string DefaultArchiveStatusFile(const std::string& space);

// s3_client.h - the few requests of the S3 protocol the archive makes, over
// libcurl with its own AWS Signature Version 4 signing.
//
// Path-style URLs (<endpoint>/<bucket>/<key>), which every S3-compatible
// store answers. Each request carries x-amz-content-sha256 (the payload's
// SHA-256, which curl does not add by itself) and each PUT its Content-MD5,
// so the store refuses bytes that arrive changed. Query parameters are
// percent-encoded and sorted here, as the signature needs them. TLS
// certificates are verified, against the system's store or the CA file
// given. A request never hangs: connecting gives up after 10 s, a transfer
// that moves less than 1 KiB/s for 30 s is ended.
//
// Not thread-safe: one S3Store per thread. Failures are results: false,
// with S3Result saying what happened; no text here ever holds the secret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct S3Store {
    std::string Endpoint;  // "http://127.0.0.1:7480" or "https://s3.example.org", no trailing '/'
    std::string Bucket;
    std::string Region = "us-east-1";
    std::string AccessKey;
    std::string Secret;
    std::string CaFile;  // empty: the system's certificates
    void* Curl = nullptr;
};

struct S3Result {
    long Status = 0;        // HTTP status, 0 when no answer came
    std::string Code;       // the store's error code ("NoSuchBucket"), if it gave one
    std::string Transport;  // curl's reason when no answer came
};

struct S3Object {
    std::string Key;
    uint64_t Size = 0;
    std::string LastModified;  // as the store gives it: 2026-12-08T06:17:25.652Z
};

// One line for logs and error texts: "HTTP 403 SignatureDoesNotMatch",
// "Couldn't connect to server".
std::string S3Describe(const S3Result& result);

bool S3Put(S3Store* store, const std::string& key, const uint8_t* data, size_t size, S3Result* result);
// *found false (and true returned) on 404.
bool S3Get(S3Store* store, const std::string& key, std::vector<uint8_t>* body, bool* found, S3Result* result);
bool S3Delete(S3Store* store, const std::string& key, S3Result* result);
// Every object whose key starts with prefix, in key order (all pages).
bool S3List(S3Store* store, const std::string& prefix, std::vector<S3Object>* objects, S3Result* result);
// Whether the bucket is there and the credentials may use it.
bool S3CheckBucket(S3Store* store, S3Result* result);
void S3Close(S3Store* store);

// Parsing a ListObjectsV2 answer (expat): the objects, whether more pages
// follow and the token for the next; false when it is not such an answer.
bool ParseS3ListAnswer(const std::string& xml, std::vector<S3Object>* objects, bool* truncated, std::string* next);
// The <Code> of an S3 error answer, "" when there is none.
std::string ParseS3ErrorCode(const std::string& xml);
// Time of an S3 LastModified text in seconds since the epoch, -1 if unreadable.
int64_t S3TimeSeconds(const std::string& text);

#include "archive/s3_client.h"

#include <curl/curl.h>
#include <expat.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

namespace {

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string Digest(const EVP_MD* md, const uint8_t* data, size_t size, bool hex) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data, size, out, &length, md, nullptr);
    if (hex) return Hex(out, length);
    unsigned char b64[4 * EVP_MAX_MD_SIZE];
    int n = EVP_EncodeBlock(b64, out, static_cast<int>(length));
    return std::string(reinterpret_cast<char*>(b64), static_cast<size_t>(n));
}

// RFC 3986 unreserved characters stay, all else is %XX; '/' stays in a path.
std::string Encode(const std::string& text, bool path) {
    std::string out;
    char buffer[4];
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (path && c == '/')) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buffer, sizeof buffer, "%%%02X", c);
            out += buffer;
        }
    }
    return out;
}

size_t Collect(char* data, size_t size, size_t count, void* context) {
    static_cast<std::string*>(context)->append(data, size * count);
    return size * count;
}

struct Upload {
    const uint8_t* Data;
    size_t Size;
    size_t Done;
};

size_t Supply(char* out, size_t size, size_t count, void* context) {
    Upload* upload = static_cast<Upload*>(context);
    size_t n = std::min(size * count, upload->Size - upload->Done);
    if (n) std::memcpy(out, upload->Data + upload->Done, n);
    upload->Done += n;
    return n;
}

// One request; true when the store answered 2xx. The body of any answer
// goes to *body.
bool Request(S3Store* store, const char* method, const std::string& key,
             const std::map<std::string, std::string>& query, const uint8_t* data, size_t size, std::string* body,
             S3Result* result) {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == 0;
    *result = S3Result{};
    body->clear();
    if (!initialised) {
        result->Transport = "libcurl could not be initialised";
        return false;
    }
    if (!store->Curl) store->Curl = curl_easy_init();
    CURL* curl = static_cast<CURL*>(store->Curl);
    if (!curl) {
        result->Transport = "libcurl could not be initialised";
        return false;
    }
    curl_easy_reset(curl);
    std::string url = store->Endpoint + "/" + Encode(store->Bucket, false);
    if (!key.empty()) url += "/" + Encode(key, true);
    // The signature covers the query as sent: sorted, each part encoded.
    std::string sep = "?";
    for (const auto& [name, value] : query) {
        url += sep + Encode(name, false) + "=" + Encode(value, false);
        sep = "&";
    }
    static const uint8_t kEmpty = 0;
    const uint8_t* payload = data ? data : &kEmpty;
    curl_slist* headers = nullptr;
    headers =
        curl_slist_append(headers, ("x-amz-content-sha256: " + Digest(EVP_sha256(), payload, size, true)).c_str());
    if (data) headers = curl_slist_append(headers, ("Content-MD5: " + Digest(EVP_md5(), payload, size, false)).c_str());
    const std::string sigv4 = "aws:amz:" + store->Region + ":s3";
    const std::string user = store->AccessKey + ":" + store->Secret;
    Upload upload{payload, size, 0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(curl, CURLOPT_USERPWD, user.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!store->CaFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, store->CaFile.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    if (std::strcmp(method, "PUT") == 0) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, Supply);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    } else if (std::strcmp(method, "HEAD") == 0) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (std::strcmp(method, "GET") != 0) {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    }
    CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    // The credentials are not kept in the handle between requests.
    curl_easy_setopt(curl, CURLOPT_USERPWD, "");
    if (code != CURLE_OK) {
        result->Transport = curl_easy_strerror(code);
        return false;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result->Status);
    if (result->Status >= 200 && result->Status < 300) return true;
    result->Code = ParseS3ErrorCode(*body);
    return false;
}

struct ListParse {
    std::vector<S3Object>* Objects;
    std::vector<std::string> Path;
    std::string Text;
    bool Truncated = false;
    std::string Next;
    bool IsList = false;
    std::string ErrorCode;
};

void XMLCALL ListStart(void* context, const XML_Char* name, const XML_Char**) {
    ListParse* p = static_cast<ListParse*>(context);
    p->Path.push_back(name);
    p->Text.clear();
    if (p->Path.size() == 1 && p->Path[0] == "ListBucketResult") p->IsList = true;
    if (p->Objects && p->Path.size() == 2 && p->Path[1] == "Contents") p->Objects->push_back(S3Object{});
}

void XMLCALL ListEnd(void* context, const XML_Char*) {
    ListParse* p = static_cast<ListParse*>(context);
    const std::string& top = p->Path.back();
    if (p->Path.size() == 2) {
        if (top == "IsTruncated") p->Truncated = p->Text == "true";
        if (top == "NextContinuationToken") p->Next = p->Text;
        if (top == "Code" && p->Path[0] == "Error") p->ErrorCode = p->Text;
    } else if (p->Objects && p->Path.size() == 3 && p->Path[1] == "Contents" && !p->Objects->empty()) {
        S3Object& object = p->Objects->back();
        if (top == "Key") object.Key = p->Text;
        if (top == "Size") object.Size = std::strtoull(p->Text.c_str(), nullptr, 10);
        if (top == "LastModified") object.LastModified = p->Text;
    }
    p->Path.pop_back();
    p->Text.clear();
}

void XMLCALL ListText(void* context, const XML_Char* text, int length) {
    static_cast<ListParse*>(context)->Text.append(text, static_cast<size_t>(length));
}

bool ParseXml(const std::string& xml, ListParse* parse) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) return false;
    XML_SetUserData(parser, parse);
    XML_SetElementHandler(parser, ListStart, ListEnd);
    XML_SetCharacterDataHandler(parser, ListText);
    bool ok = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return ok;
}

}  // namespace

bool ParseS3ListAnswer(const std::string& xml, std::vector<S3Object>* objects, bool* truncated, std::string* next) {
    ListParse parse;
    parse.Objects = objects;
    if (!ParseXml(xml, &parse) || !parse.IsList) return false;
    *truncated = parse.Truncated;
    *next = parse.Next;
    return !(parse.Truncated && parse.Next.empty());
}

std::string ParseS3ErrorCode(const std::string& xml) {
    ListParse parse;
    parse.Objects = nullptr;
    if (xml.empty() || !ParseXml(xml, &parse)) return "";
    return parse.ErrorCode;
}

std::string S3Describe(const S3Result& result) {
    if (result.Status == 0) return result.Transport.empty() ? "no answer" : result.Transport;
    std::string text = "HTTP " + std::to_string(result.Status);
    if (!result.Code.empty()) text += " " + result.Code;
    return text;
}

bool S3Put(S3Store* store, const std::string& key, const uint8_t* data, size_t size, S3Result* result) {
    static const uint8_t kNone = 0;
    std::string body;
    return Request(store, "PUT", key, {}, data ? data : &kNone, size, &body, result);
}

bool S3Get(S3Store* store, const std::string& key, std::vector<uint8_t>* out, bool* found, S3Result* result) {
    std::string body;
    *found = false;
    if (!Request(store, "GET", key, {}, nullptr, 0, &body, result)) return result->Status == 404;
    *found = true;
    out->assign(body.begin(), body.end());
    return true;
}

bool S3Delete(S3Store* store, const std::string& key, S3Result* result) {
    std::string body;
    return Request(store, "DELETE", key, {}, nullptr, 0, &body, result) || result->Status == 404;
}

bool S3List(S3Store* store, const std::string& prefix, std::vector<S3Object>* objects, S3Result* result) {
    objects->clear();
    std::string token;
    for (;;) {
        std::map<std::string, std::string> query{{"list-type", "2"}, {"prefix", prefix}};
        if (!token.empty()) query["continuation-token"] = token;
        std::string body;
        if (!Request(store, "GET", "", query, nullptr, 0, &body, result)) return false;
        bool truncated = false;
        if (!ParseS3ListAnswer(body, objects, &truncated, &token)) {
            result->Transport = "the store's list answer could not be read";
            result->Status = 0;
            return false;
        }
        if (!truncated) return true;
    }
}

bool S3CheckBucket(S3Store* store, S3Result* result) {
    std::string body;
    // A list of at most one key: HEAD answers carry no error code.
    return Request(store, "GET", "", {{"list-type", "2"}, {"max-keys", "1"}}, nullptr, 0, &body, result);
}

void S3Close(S3Store* store) {
    if (store->Curl) curl_easy_cleanup(static_cast<CURL*>(store->Curl));
    store->Curl = nullptr;
}

int64_t S3TimeSeconds(const std::string& text) {
    struct tm tm {};
    if (!strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return -1;
    return static_cast<int64_t>(timegm(&tm));
}

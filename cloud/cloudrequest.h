#pragma once

// Requests to the cloud REST service (API 1.1). Each runs on a std::thread
// that the caller joins at once, so to the caller a request is a blocking
// call of at most the HTTP client's time-outs (about 10 s). A failed
// transfer is not reported: the reply then holds whatever arrived, usually
// nothing, and the caller's own success rule fails on it. The server's
// certificate is always verified, against CloudCaFile() when that is set.

#include <string>
#include <vector>

#include <json/value.h>

class TradeConfig;

// Base address of the service ("https://host:port", no trailing slash) and
// the CA file trusted for it ("" means the system's store). Both default to
// the build's settings, a relative CA file name taken from the program's own
// folder; tests point them at a service of their own.
std::string CloudBaseUrl();
std::string CloudCaFile();
void SetCloudService(const std::string& baseUrl, const std::string& caFile);

// The base address followed by a path that begins with "/1.1/".
std::string CloudUrl(const std::string& path);

// Address of the newest row of a data class for one product. The product id
// goes into the query as it stands, not URL-encoded.
std::string CloudClassQueryUrl(const std::string& className, const std::string& productID);

// The three header lines of every request: "Content-Type:application/json",
// "X-LC-Id:" + id, "X-LC-Key:" + key, with no blank after the colons.
std::vector<std::string> CloudHeaderLines(const TradeConfig& config);

// A request body: the object written compactly, members in name order,
// closed by a line feed.
std::string CloudBody(const Json::Value& object);

// Thread bodies: a POST with the process-wide configuration's identity, and
// a GET with the identity of the configuration given. Both write only reply.
void CloudPostThreadBody(const std::string& url, const std::string& body, std::string& reply);
void CloudGetThreadBody(TradeConfig* config, const std::string& url, std::string& reply);

// Parses a JSON text, the way every JSON text of the program is read. False
// on any fault, nesting beyond the reader's depth limit included (which the
// reader reports by throwing); `document` then holds what was read before a
// syntax fault, or null after a nesting fault.
bool ParseJson(const std::string& text, Json::Value& document);

// The start-up's picture downloads (boot pages and banners) share one bound
// of time and size (the batch bounds of HttpLimits). The boot-page fetch
// begins it anew, the banner fetch goes on with what is left; this begins it
// anew for a fetch that stands alone.
void BeginContentFetch();

// The calling pattern in one place: starts the thread body on the request
// texts, joins it, and returns the reply.
std::string CloudPost(const std::string& path, const Json::Value& bodyObject);
std::string CloudGet(TradeConfig* config, const std::string& url);

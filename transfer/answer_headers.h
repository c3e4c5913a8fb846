// What the engine reads from a response's header lines before it accepts any of its body.
#pragma once

#include <cstddef>
#include <string>

#include "transfer/content_range.h"

// One version of a resource, as its validators name it.
struct ResourceVersion {
    std::string etag;          // a strong entity tag, quotes included; empty for none or weak
    std::string lastModified;  // the Last-Modified date as sent

    // The If-Range value that asks for a range of this version only: the strong ETag, else the
    // date; empty when the server gave neither.
    const std::string& ifRange() const { return etag.empty() ? lastModified : etag; }
    // True when `answer` names another version by the validator this one relies on (an answer
    // without that validator contradicts nothing).
    bool contradictedBy(const ResourceVersion& answer) const;
};

// The header lines of the response in progress.
struct AnswerHeaders {
    bool rangeSeen = false;
    ContentRange range;
    bool encoded = false;  // a Content-Encoding other than identity: the body is not the bytes
    ResourceVersion version;
    // Retry-After and Date as sent (empty when absent), for how long to wait before a retry.
    std::string retryAfter;
    std::string date;

    // Notes one raw header line ("Name: value\r\n"); a status line begins a new response and
    // forgets what the previous one said.
    void read(const char* line, std::size_t length);
};

// libcurl header function; the user pointer is an AnswerHeaders.
std::size_t readAnswerHeader(char* data, std::size_t size, std::size_t count, void* user);

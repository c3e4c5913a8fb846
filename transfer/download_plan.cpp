#include "transfer/download_plan.h"

ResourceVersion ResumePoint::versionOf(const std::string& url) const {
    for (const SourceVersion& source : versions) {
        if (source.url == url) {
            return source.version;
        }
    }
    return ResourceVersion();
}

bool resumeFits(const ResumePoint& earlier, std::uint64_t length, const std::string& url,
                const ResourceVersion& now) {
    if (earlier.length != length || earlier.present.empty() ||
        !rangesFitResource(earlier.present, length)) {
        return false;
    }
    if (earlier.sameDigest) {
        return true;
    }
    const ResourceVersion then = earlier.versionOf(url);
    if (!now.etag.empty() || !then.etag.empty()) {
        return now.etag == then.etag;
    }
    return !now.lastModified.empty() && now.lastModified == then.lastModified;
}

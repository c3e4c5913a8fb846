#include "transfer/download_plan.h"

bool resumeFits(const ResumePoint& earlier, std::uint64_t length, const ResourceVersion& now) {
    if (earlier.length != length || earlier.present.empty() ||
        !rangesFitResource(earlier.present, length)) {
        return false;
    }
    if (earlier.sameDigest) {
        return true;
    }
    if (!now.etag.empty() || !earlier.version.etag.empty()) {
        return now.etag == earlier.version.etag;
    }
    return !now.lastModified.empty() && now.lastModified == earlier.version.lastModified;
}

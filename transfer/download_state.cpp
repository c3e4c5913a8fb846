#include "transfer/download_state.h"

#include <algorithm>

DownloadState::DownloadState(const std::string& url, const ResourceVersion& version,
                             std::uint64_t totalSize, platform::File& file, platform::Mutex* mutex,
                             ProgressReporter reporter, void* reporterContext)
    : url(url),
      version(version),
      totalSize(totalSize),
      file_(file),
      mutex_(mutex),
      reporter_(reporter),
      reporterContext_(reporterContext) {}

Piece& DownloadState::addPiece(std::uint64_t first, std::uint64_t last) {
    platform::MutexLock lock(mutex_);
    Piece piece;
    piece.next = first;
    piece.end = last;
    pieces_.push_back(piece);
    return pieces_.back();
}

void DownloadState::assign(Piece& piece) {
    platform::MutexLock lock(mutex_);
    piece.busy = true;
    ++piece.runs;
}

void DownloadState::withdraw(Piece& piece) {
    platform::MutexLock lock(mutex_);
    piece.busy = false;
    --piece.runs;
}

Piece* DownloadState::takeWork(Piece* ended) {
    platform::MutexLock lock(mutex_);
    if (ended != nullptr) {
        ended->busy = false;
    }
    if (cannotSucceed()) {
        return nullptr;
    }
    for (Piece& piece : pieces_) {
        if (!piece.busy && !piece.finished() && piece.runs < kRunsPerPiece) {
            piece.busy = true;
            ++piece.runs;
            return &piece;
        }
    }
    // Only a worker whose own piece came through takes over a part of another: one whose
    // attempts failed would only spread its server's failures to more pieces.
    Piece* largest = (ended == nullptr || ended->finished()) ? pieceToSplit() : nullptr;
    if (largest == nullptr) {
        return nullptr;
    }
    Piece upper;
    upper.next = upperPartStart(*largest, ended);
    upper.end = largest->end;
    upper.busy = true;
    upper.runs = 1;
    largest->end = upper.next - 1;
    pieces_.push_back(upper);
    return &pieces_.back();
}

Piece* DownloadState::pieceToSplit() {
    Piece* largest = nullptr;
    std::uint64_t mostLeft = 2 * kSmallestSplitPiece - 1;
    for (Piece& piece : pieces_) {
        if (piece.busy && !piece.finished() && piece.end - piece.next + 1 > mostLeft) {
            mostLeft = piece.end - piece.next + 1;
            largest = &piece;
        }
    }
    return largest;
}

namespace {

// Bytes per millisecond of the piece's latest request; negative while too short to tell.
double requestRate(const Piece& piece, std::uint64_t upTo, std::uint32_t now) {
    const std::uint32_t elapsed = now - piece.requestTick;
    return elapsed < kShortestRateSample ? -1.0
                                         : static_cast<double>(upTo - piece.requestFrom) / elapsed;
}

}  // namespace

// Where the taker's part begins: both parts should end together, so the owner keeps the
// share of its own rate in the sum of both rates (the taker's rate judged by the piece it has
// just finished). Halves when either rate is unknown.
std::uint64_t DownloadState::upperPartStart(const Piece& owner, const Piece* ended) const {
    const std::uint64_t left = owner.end - owner.next + 1;
    std::uint64_t keep = left / 2;
    const std::uint32_t now = platform::tickCount();
    const double ownerRate = requestRate(owner, owner.next, now);
    const double takerRate = ended == nullptr ? -1.0 : requestRate(*ended, ended->end + 1, now);
    if (ownerRate >= 0.0 && takerRate > 0.0) {
        keep = static_cast<std::uint64_t>(static_cast<double>(left) * ownerRate /
                                          (ownerRate + takerRate));
    }
    keep = std::clamp(keep, kSmallestSplitPiece, left - kSmallestSplitPiece);
    return owner.next + keep;
}

bool DownloadState::beginRequest(Piece& piece, std::uint64_t& first, std::uint64_t& last) {
    platform::MutexLock lock(mutex_);
    if (piece.finished()) {
        return false;  // its last request's rate stays, for the split it may make next
    }
    piece.requestFrom = piece.next;
    piece.requestTick = platform::tickCount();
    first = piece.next;
    last = piece.end;
    return true;
}

std::uint64_t DownloadState::store(Piece& piece, std::uint64_t position, const char* data,
                                   std::uint64_t length, std::uint64_t limit) {
    std::uint64_t offset = 0;
    std::uint64_t take = 0;
    {
        platform::MutexLock lock(mutex_);
        if (failed || piece.finished() || piece.next < position ||
            piece.next - position >= length) {
            return 0;
        }
        offset = piece.next;
        const std::uint64_t last = std::min(piece.end, limit);
        if (offset > last) {
            return 0;
        }
        take = std::min(position + length - offset, last - offset + 1);
        piece.next += take;  // claimed: a split now cuts above these bytes
    }
    const bool written =
        file_.writeAt(offset, data + (offset - position), static_cast<std::size_t>(take));
    platform::MutexLock lock(mutex_);
    if (!written) {
        failed = true;
        return 0;
    }
    bytesDone_ += take;
    reporter_(reporterContext_, totalSize, bytesDone_);
    return take;
}

void DownloadState::storeMissing(std::uint64_t position, const char* data, std::uint64_t length) {
    std::vector<Piece*> pieces;
    {
        platform::MutexLock lock(mutex_);
        for (Piece& piece : pieces_) {
            pieces.push_back(&piece);
        }
    }
    for (Piece* piece : pieces) {
        store(*piece, position, data, length, totalSize - 1);
    }
}

std::uint64_t DownloadState::bytesDone() {
    platform::MutexLock lock(mutex_);
    return bytesDone_;
}

bool DownloadState::allFinished() {
    platform::MutexLock lock(mutex_);
    return std::all_of(pieces_.begin(), pieces_.end(),
                       [](const Piece& piece) { return piece.finished(); });
}

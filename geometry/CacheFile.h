#pragma once
#include <cstdint>
#include <string>

namespace veltrix {

// Binary preprocessing files: little-endian 32-bit integers and floats, followed by a trailer
// of 20 bytes: the text "VXC1", the geometry key of the shape the contents were computed for
// (64 bits) and a checksum (64-bit FNV-1a) of the file's numbers, that is of every integer and
// float before the trailer but not of text (the frames' description carries a date and has checks
// of its own). A file without the trailer was written by an older version and is recomputed.

// 64-bit FNV-1a over bytes, continuing from hash (start with kHashSeed).
constexpr uint64_t kHashSeed = 1469598103934665603ULL;
uint64_t hashBytes(uint64_t hash, const void* bytes, size_t count);

// True when nothing exists at path yet: a cache that is still to be computed, not an error.
bool cacheNotMadeYet(const std::string& path);
//
// CacheReader opens regular files only (anything else at the path is reported and not opened). It
// knows the file's size and refuses every read that would pass its end, so that a count taken
// from the file can be checked against the bytes that are really there before anything is
// allocated from it.
class CacheReader {
public:
    // withTrailer: the file is a preprocessing cache, whose trailer (when there) is not content.
    explicit CacheReader(const std::string& path, bool withTrailer = false);
    ~CacheReader();
    CacheReader(const CacheReader&) = delete;
    CacheReader& operator=(const CacheReader&) = delete;
    bool isOpen() const { return open_; }
    // Bytes not read yet.
    int64_t remaining() const { return remaining_; }
    bool readInt32(int32_t& value);
    bool readFloats(float* out, int64_t count);
    bool readBytes(char* out, int64_t count);
    // After the contents were read: true when the file has its trailer, the numbers read match its
    // checksum and it was computed for this geometry key. Otherwise prints a warning of the
    // operation that names the file and says why it is recomputed, and returns false.
    bool verify(uint64_t geometryKey, const char* operation);

private:
    bool readRaw(char* out, int64_t count);

    std::string path_;
    int fd_ = -1;
    bool open_ = false;
    int64_t remaining_ = 0;
    bool hasTrailer_ = false;
    uint64_t fileKey_ = 0, fileChecksum_ = 0, checksum_ = kHashSeed;
};

// CacheWriter writes to a temporary file next to the target and renames it over the target on
// commit, so the target is always either the old file or the complete new one. A target that
// exists and is no regular file (a device, a pipe) is reported and not opened.
class CacheWriter {
public:
    explicit CacheWriter(const std::string& path);
    // Without a successful commit the temporary file is removed and the target left alone.
    ~CacheWriter();
    CacheWriter(const CacheWriter&) = delete;
    CacheWriter& operator=(const CacheWriter&) = delete;
    bool isOpen() const { return open_; }
    void writeInt32(int32_t value);
    void writeFloats(const float* values, int64_t count);
    void writeBytes(const char* bytes, int64_t count);
    // False when a write failed or the file could not be renamed into place; the old file, if
    // any, is then left as it was. The first form writes no trailer (an empty placeholder file).
    bool commit();
    // Appends the trailer for the geometry key, then commits.
    bool commit(uint64_t geometryKey);

private:
    std::string target_;     // the file that commit replaces (a link's target when path is a link)
    std::string temporary_;  // the file written until commit
    int fd_ = -1;
    bool open_ = false;
    bool failed_ = false;
    uint64_t checksum_ = kHashSeed;
};

}  // namespace veltrix

#pragma once
#include <QFile>
#include <QSaveFile>
#include <cstdint>
#include <string>

// Binary preprocessing files: little-endian 32-bit integers and floats.

// True when nothing exists at path yet: a cache that is still to be computed, not an error.
bool cacheNotMadeYet(const std::string& path);
//
// CacheReader knows the file's size and refuses every read that would pass its end, so that a
// count taken from the file can be checked against the bytes that are really there before
// anything is allocated from it.
class CacheReader {
public:
    explicit CacheReader(const std::string& path);
    bool isOpen() const { return open_; }
    // Bytes not read yet.
    int64_t remaining() const { return remaining_; }
    bool readInt32(int32_t& value);
    bool readFloats(float* out, int64_t count);
    bool readBytes(char* out, int64_t count);

private:
    QFile file_;
    bool open_ = false;
    int64_t remaining_ = 0;
};

// CacheWriter writes to a temporary file next to the target and renames it over the target on
// commit, so the target is always either the old file or the complete new one. A target that
// exists and is no regular file (a device, a pipe) is written in place instead, never replaced.
class CacheWriter {
public:
    explicit CacheWriter(const std::string& path);
    bool isOpen() const { return open_; }
    void writeInt32(int32_t value);
    void writeFloats(const float* values, int64_t count);
    void writeBytes(const char* bytes, int64_t count);
    // False when a write failed or the file could not be renamed into place; the old file, if
    // any, is then left as it was.
    bool commit();

private:
    QIODevice& device() { return direct_ ? static_cast<QIODevice&>(directFile_) : file_; }

    QSaveFile file_;
    QFile directFile_;
    bool direct_ = false;
    bool open_ = false;
    bool failed_ = false;
};

#include "geometry/CacheFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Log.h"

namespace veltrix {

namespace {

const char kTrailerMagic[4] = {'V', 'X', 'C', '1'};
constexpr int64_t kTrailerBytes = 20;

void reportIrregular(const std::string& path) {
    logErr() << "Error in CacheFile: " << path << " is not a regular file!" << std::endl;
}

constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

template <class T>
void storeLittleEndian(T value, char* out) {
    using U = std::make_unsigned_t<T>;
    const U bits = static_cast<U>(value);
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

template <class T>
T loadLittleEndian(const char* in) {
    using U = std::make_unsigned_t<T>;
    U bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<U>(static_cast<unsigned char>(in[i])) << (8 * i);
    return static_cast<T>(bits);
}

void swapFloatBytes(float* values, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        char* b = reinterpret_cast<char*>(&values[i]);
        std::reverse(b, b + 4);
    }
}

// Reads exactly count bytes unless the file ends or fails first; returns the bytes read.
int64_t readFully(int fd, char* out, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, out + done, size_t(std::min<int64_t>(count - done, SSIZE_MAX)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

bool writeFully(int fd, const char* bytes, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, size_t(std::min<int64_t>(count - done, SSIZE_MAX)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// The file that replacing path really replaces: the target of a symbolic link, followed link by
// link (a bounded number of times, as the system does), else path itself.
std::string replacedFile(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        std::vector<char> target(size_t(info.st_size > 0 ? info.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0 || size_t(n) >= target.size()) return current;
        std::string next(target.data(), size_t(n));
        if (next.empty() || next[0] != '/') {
            const size_t slash = current.rfind('/');
            if (slash != std::string::npos) next = current.substr(0, slash + 1) + next;
        }
        current = next;
    }
    return current;
}

}  // namespace

bool cacheNotMadeYet(const std::string& path) {
    // A dangling link counts as something there: opening it fails, and that is worth an error.
    struct stat info;
    return ::lstat(path.c_str(), &info) != 0;
}

uint64_t hashBytes(uint64_t hash, const void* bytes, size_t count) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < count; ++i) {
        hash ^= p[i];
        hash *= 1099511628211ULL;
    }
    return hash;
}

CacheReader::CacheReader(const std::string& path, bool withTrailer) : path_(path) {
    // Opened without blocking, so that a pipe with no writer cannot stall the open; only a regular
    // file is read, since a pipe or device has no size to check counts against and may never end.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        reportIrregular(path);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    remaining_ = int64_t(info.st_size);
    char trailer[kTrailerBytes];
    if (withTrailer && remaining_ >= kTrailerBytes && ::lseek(fd_, remaining_ - kTrailerBytes, SEEK_SET) >= 0 &&
        readFully(fd_, trailer, kTrailerBytes) == kTrailerBytes && std::equal(trailer, trailer + 4, kTrailerMagic)) {
        hasTrailer_ = true;
        fileKey_ = loadLittleEndian<uint64_t>(trailer + 4);
        fileChecksum_ = loadLittleEndian<uint64_t>(trailer + 12);
        remaining_ -= kTrailerBytes;
    }
    open_ = ::lseek(fd_, 0, SEEK_SET) == 0;
}

CacheReader::~CacheReader() {
    if (fd_ >= 0) ::close(fd_);
}

bool CacheReader::readBytes(char* out, int64_t count) { return readRaw(out, count); }

bool CacheReader::verify(uint64_t geometryKey, const char* operation) {
    const char* why = nullptr;
    if (!hasTrailer_)
        why = "carries no checksum (an older cache file)";
    else if (remaining_ != 0 || checksum_ != fileChecksum_)
        why = "is damaged (its checksum does not match)";
    else if (fileKey_ != geometryKey)
        why = "was computed for other vertex positions or normals";
    if (!why) return true;
    logOut() << std::endl;
    logErr() << "Warning in " << operation << "(): " << path_ << " " << why << "; recomputing." << std::endl;
    return false;
}

bool CacheReader::readRaw(char* out, int64_t count) {
    if (!open_ || count < 0 || count > remaining_) return false;
    if (count == 0) return true;
    if (readFully(fd_, out, count) != count) {
        remaining_ = 0;
        return false;
    }
    remaining_ -= count;
    return true;
}

bool CacheReader::readInt32(int32_t& value) {
    char bytes[4];
    if (!readRaw(bytes, 4)) return false;
    checksum_ = hashBytes(checksum_, bytes, 4);
    value = loadLittleEndian<int32_t>(bytes);
    return true;
}

bool CacheReader::readFloats(float* out, int64_t count) {
    if (count < 0 || count > remaining_ / 4) return false;
    if (!readRaw(reinterpret_cast<char*>(out), count * 4)) return false;
    checksum_ = hashBytes(checksum_, out, size_t(count) * 4);
    if (!kLittleEndianHost) swapFloatBytes(out, count);
    return true;
}

CacheWriter::CacheWriter(const std::string& path) : target_(replacedFile(path)) {
    // Only a regular file is replaced; a pipe, device or directory in its place is left alone.
    struct stat info;
    const bool exists = ::stat(target_.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        reportIrregular(path);
        return;
    }
    // The temporary file lies next to the target, so that the rename stays on one file system.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = target_ + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        temporary_.clear();
        return;
    }
    // A replaced file keeps its permissions.
    if (exists) ::fchmod(fd_, info.st_mode & 07777);
    open_ = true;
}

CacheWriter::~CacheWriter() {
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void CacheWriter::writeBytes(const char* bytes, int64_t count) {
    if (open_ && !failed_ && count > 0 && !writeFully(fd_, bytes, count)) failed_ = true;
}

void CacheWriter::writeInt32(int32_t value) {
    char bytes[4];
    storeLittleEndian<int32_t>(value, bytes);
    checksum_ = hashBytes(checksum_, bytes, 4);
    writeBytes(bytes, 4);
}

void CacheWriter::writeFloats(const float* values, int64_t count) {
    if (kLittleEndianHost) {
        checksum_ = hashBytes(checksum_, values, size_t(std::max<int64_t>(count, 0)) * 4);
        writeBytes(reinterpret_cast<const char*>(values), count * 4);
    } else {
        std::vector<float> swapped(values, values + std::max<int64_t>(count, 0));
        swapFloatBytes(swapped.data(), int64_t(swapped.size()));
        checksum_ = hashBytes(checksum_, swapped.data(), swapped.size() * 4);
        writeBytes(reinterpret_cast<const char*>(swapped.data()), count * 4);
    }
}

bool CacheWriter::commit() {
    if (!open_) return false;
    open_ = false;
    // The data reach the disk before the rename, so that a crash leaves the old file or the new.
    const bool written = !failed_ && ::fsync(fd_) == 0;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!written || !closed || ::rename(temporary_.c_str(), target_.c_str()) != 0) return false;
    temporary_.clear();
    return true;
}

bool CacheWriter::commit(uint64_t geometryKey) {
    char trailer[kTrailerBytes];
    std::copy(kTrailerMagic, kTrailerMagic + 4, trailer);
    storeLittleEndian<uint64_t>(geometryKey, trailer + 4);
    storeLittleEndian<uint64_t>(checksum_, trailer + 12);
    writeBytes(trailer, kTrailerBytes);
    return commit();
}

}  // namespace veltrix

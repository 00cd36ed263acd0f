#include "CacheFile.h"

#include <QFileInfo>
#include <QtEndian>
#include <algorithm>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"

namespace {

const char kTrailerMagic[4] = {'V', 'X', 'C', '1'};
constexpr int64_t kTrailerBytes = 20;

void reportIrregular(const std::string& path) {
    logErr() << "Error in CacheFile: " << path << " is not a regular file!" << std::endl;
}

}  // namespace

bool cacheNotMadeYet(const std::string& path) {
    // A dangling link counts as something there: opening it fails, and that is worth an error.
    const QFileInfo info(QString::fromStdString(path));
    return !info.exists() && !info.isSymLink();
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
    open_ = file_.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    if (!open_) ::close(fd);
    if (!open_) return;
    remaining_ = file_.size();
    char trailer[kTrailerBytes];
    if (withTrailer && remaining_ >= kTrailerBytes && file_.seek(remaining_ - kTrailerBytes) &&
        file_.read(trailer, kTrailerBytes) == kTrailerBytes && std::equal(trailer, trailer + 4, kTrailerMagic)) {
        hasTrailer_ = true;
        fileKey_ = qFromLittleEndian<quint64>(trailer + 4);
        fileChecksum_ = qFromLittleEndian<quint64>(trailer + 12);
        remaining_ -= kTrailerBytes;
    }
    open_ = file_.seek(0);
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
    if (file_.read(out, count) != count) {
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
    value = qFromLittleEndian<qint32>(bytes);
    return true;
}

bool CacheReader::readFloats(float* out, int64_t count) {
    if (count < 0 || count > remaining_ / 4) return false;
    if (!readRaw(reinterpret_cast<char*>(out), count * 4)) return false;
    checksum_ = hashBytes(checksum_, out, size_t(count) * 4);
#if Q_BYTE_ORDER != Q_LITTLE_ENDIAN
    for (int64_t i = 0; i < count; ++i) out[i] = qFromLittleEndian<float>(&out[i]);
#endif
    return true;
}

CacheWriter::CacheWriter(const std::string& path) : file_(QString::fromStdString(path)) {
    // Only a regular file is replaced; a pipe, device or directory in its place is left alone.
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        reportIrregular(path);
        return;
    }
    open_ = file_.open(QIODevice::WriteOnly);
}

void CacheWriter::writeBytes(const char* bytes, int64_t count) {
    if (open_ && count > 0 && file_.write(bytes, count) != count) failed_ = true;
}

void CacheWriter::writeInt32(int32_t value) {
    char bytes[4];
    qToLittleEndian<qint32>(value, bytes);
    checksum_ = hashBytes(checksum_, bytes, 4);
    writeBytes(bytes, 4);
}

void CacheWriter::writeFloats(const float* values, int64_t count) {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    checksum_ = hashBytes(checksum_, values, size_t(std::max<int64_t>(count, 0)) * 4);
    writeBytes(reinterpret_cast<const char*>(values), count * 4);
#else
    std::vector<float> swapped(values, values + count);
    for (float& v : swapped) v = qToLittleEndian(v);
    checksum_ = hashBytes(checksum_, swapped.data(), swapped.size() * 4);
    writeBytes(reinterpret_cast<const char*>(swapped.data()), count * 4);
#endif
}

bool CacheWriter::commit() { return open_ && !failed_ && file_.commit(); }

bool CacheWriter::commit(uint64_t geometryKey) {
    char trailer[kTrailerBytes];
    std::copy(kTrailerMagic, kTrailerMagic + 4, trailer);
    qToLittleEndian<quint64>(geometryKey, trailer + 4);
    qToLittleEndian<quint64>(checksum_, trailer + 12);
    writeBytes(trailer, kTrailerBytes);
    return commit();
}

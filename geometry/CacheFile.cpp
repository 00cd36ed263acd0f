#include "CacheFile.h"

#include <QFileInfo>
#include <QtEndian>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"

namespace {

void reportIrregular(const std::string& path) {
    logErr() << "Error in CacheFile: " << path << " is not a regular file!" << std::endl;
}

}  // namespace

CacheReader::CacheReader(const std::string& path) {
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
    if (open_) remaining_ = file_.size();
}

bool CacheReader::readBytes(char* out, int64_t count) {
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
    if (!readBytes(bytes, 4)) return false;
    value = qFromLittleEndian<qint32>(bytes);
    return true;
}

bool CacheReader::readFloats(float* out, int64_t count) {
    if (count < 0 || count > remaining_ / 4) return false;
    if (!readBytes(reinterpret_cast<char*>(out), count * 4)) return false;
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
    writeBytes(bytes, 4);
}

void CacheWriter::writeFloats(const float* values, int64_t count) {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    writeBytes(reinterpret_cast<const char*>(values), count * 4);
#else
    std::vector<float> swapped(values, values + count);
    for (float& v : swapped) v = qToLittleEndian(v);
    writeBytes(reinterpret_cast<const char*>(swapped.data()), count * 4);
#endif
}

bool CacheWriter::commit() { return open_ && !failed_ && file_.commit(); }

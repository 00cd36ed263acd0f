#include "CacheFile.h"

#include <QFileInfo>
#include <QtEndian>
#include <vector>

bool cacheNotMadeYet(const std::string& path) {
    // A dangling link counts as something there: opening it fails, and that is worth an error.
    const QFileInfo info(QString::fromStdString(path));
    return !info.exists() && !info.isSymLink();
}

CacheReader::CacheReader(const std::string& path) : file_(QString::fromStdString(path)) {
    open_ = file_.open(QIODevice::ReadOnly);
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

CacheWriter::CacheWriter(const std::string& path)
    : file_(QString::fromStdString(path)), directFile_(QString::fromStdString(path)) {
    const QFileInfo info(QString::fromStdString(path));
    direct_ = info.exists() && !info.isFile() && !info.isDir();
    open_ = direct_ ? directFile_.open(QIODevice::WriteOnly) : file_.open(QIODevice::WriteOnly);
}

void CacheWriter::writeBytes(const char* bytes, int64_t count) {
    if (open_ && count > 0 && device().write(bytes, count) != count) failed_ = true;
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

bool CacheWriter::commit() {
    if (!open_) return false;
    if (!direct_) return !failed_ && file_.commit();
    const bool flushed = directFile_.flush();
    directFile_.close();
    return !failed_ && flushed && directFile_.error() == QFileDevice::NoError;
}

#pragma once

#include <QFile>
#include <QObject>

namespace vorn {
namespace base {

// Owns one QFile; logs every failed open; flushes and closes on destruction.
class FileProxy : public QObject
{
    Q_OBJECT
public:
    explicit FileProxy(QObject* parent = nullptr);
    ~FileProxy() override;

    bool open(const QString& path, QIODevice::OpenMode mode);
    QFile& file() { return m_file; }

private:
    Q_DISABLE_COPY(FileProxy)
    QFile m_file;
};

} // namespace base
} // namespace vorn

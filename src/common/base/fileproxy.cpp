#include "fileproxy.h"

#include <QFileInfo>
#include <QtDebug>

namespace vorn {
namespace base {

FileProxy::FileProxy(QObject* parent)
    : QObject(parent)
{
}

FileProxy::~FileProxy()
{
    if (m_file.isOpen()) {
        m_file.flush();
        m_file.close();
    }
}

bool FileProxy::open(const QString& path, QIODevice::OpenMode mode)
{
    if (m_file.isOpen()) {
        m_file.flush();
        m_file.close();
    }
    m_file.setFileName(path);
    if (m_file.open(mode))
        return true;

    qWarning() << "open file failed, file:" << path << ", mode:" << mode
               << ", exist:" << (QFileInfo::exists(path) ? "true" : "false");
    return false;
}

} // namespace base
} // namespace vorn

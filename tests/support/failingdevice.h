#pragma once
// A buffer that fails once `capacity` bytes are written, as a file does on a full disk (ENOSPC)
// or past the file-size limit (EFBIG): writes stop there, and the device tells the system error,
// as files::FileDevice does. Writers' fault tests run on it instead of /dev/full and chmod.

#include "files/filedevice.h"

#include <QBuffer>

#include <cstring>

class FailingDevice : public QBuffer, public files::SystemErrorSource
{
public:
    // capacity < 0: never fails.
    explicit FailingDevice(qint64 capacity, int error) : m_capacity(capacity), m_error(error)
    {
        open(QIODevice::ReadWrite);
    }
    int systemError() const override { return m_failed ? m_error : 0; }
    bool failed() const { return m_failed; }

protected:
    qint64 writeData(const char* data, qint64 size) override
    {
        if (m_capacity >= 0 && pos() + size > m_capacity) {
            // What fits is written, as a file system does before it refuses more.
            const qint64 room = qMax<qint64>(0, m_capacity - pos());
            if (room > 0)
                QBuffer::writeData(data, room);
            m_failed = true;
            setErrorString(QString::fromLocal8Bit(std::strerror(m_error)));
            return -1;
        }
        return QBuffer::writeData(data, size);
    }

private:
    qint64 m_capacity;
    int m_error;
    bool m_failed = false;
};

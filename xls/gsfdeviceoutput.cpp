#include "xls/gsfdeviceoutput.h"

#include <QIODevice>

#include <mutex>

namespace engine {

namespace {

struct GsfDeviceOutput
{
    GsfOutput output;
    QIODevice* device;
};

struct GsfDeviceOutputClass
{
    GsfOutputClass outputClass;
};

GsfDeviceOutput* self(GsfOutput* output)
{
    return reinterpret_cast<GsfDeviceOutput*>(output);
}

gboolean failed(GsfOutput* output, const char* what)
{
    QIODevice* device = self(output)->device;
    const QByteArray reason = device->errorString().toUtf8();
    return gsf_output_set_error(output, 0, "%s: %s", what, reason.isEmpty() ? "failed" : reason.constData());
}

gboolean deviceWrite(GsfOutput* output, size_t size, const guint8* data)
{
    QIODevice* device = self(output)->device;
    // libgsf keeps the position itself; the device follows it.
    if (device->pos() != qint64(output->cur_offset) && !device->seek(qint64(output->cur_offset)))
        return failed(output, "seek");
    if (device->write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        return failed(output, "write");
    return TRUE;
}

gboolean deviceSeek(GsfOutput* output, gsf_off_t offset, GSeekType whence)
{
    gsf_off_t position = offset;
    if (whence == G_SEEK_CUR)
        position += output->cur_offset;
    else if (whence == G_SEEK_END)
        position += output->cur_size;
    // A position past the end is taken when something is written there; the gap is then zeros,
    // as in a file.
    if (position > qint64(self(output)->device->size()))
        return TRUE;
    return self(output)->device->seek(qint64(position)) ? TRUE : failed(output, "seek");
}

gboolean deviceClose(GsfOutput*)
{
    return TRUE;
}

void initClass(gpointer classPointer, gpointer)
{
    auto* outputClass = static_cast<GsfOutputClass*>(classPointer);
    outputClass->Write = deviceWrite;
    outputClass->Seek = deviceSeek;
    outputClass->Close = deviceClose;
}

GType deviceOutputType()
{
    static GType type = 0;
    static std::once_flag registered;
    std::call_once(registered, [] {
        type = g_type_register_static_simple(gsf_output_get_type(), "QuillmorneGsfDeviceOutput",
                                             sizeof(GsfDeviceOutputClass), initClass, sizeof(GsfDeviceOutput), nullptr,
                                             GTypeFlags(0));
    });
    return type;
}

} // namespace

GsfOutput* newGsfDeviceOutput(QIODevice* device)
{
    auto* output = static_cast<GsfOutput*>(g_object_new(deviceOutputType(), nullptr));
    self(output)->device = device;
    return output;
}

} // namespace engine

#include "automation/failure.h"

#include <cerrno>
#include <cstring>

namespace {

struct ReasonRow
{
    Reason reason;
    const char* code;
    const char* text; // UTF-8
};

// The one table of failure texts. A new reason gets its row here.
constexpr ReasonRow reasonTable[] = {
    {Reason::None, "none", ""},
    {Reason::FolderFieldEmpty, "folder-not-given", "没有填写文件夹"},
    {Reason::FolderMissing, "folder-missing", "文件夹不存在"},
    {Reason::SourceFolderMissing, "source-folder-missing", "提取文件夹不存在!"},
    {Reason::SaveFolderMissing, "save-folder-missing", "保存文件夹不存在!"},
    {Reason::NotAFolder, "not-a-folder", "不是文件夹"},
    {Reason::NoPermission, "no-permission", "没有权限"},
    {Reason::DiskFull, "disk-full", "磁盘已满"},
    {Reason::FileTooLarge, "file-too-large", "文件过大, 超出系统允许的大小"},
    {Reason::NameTooLong, "name-too-long", "路径或文件名过长"},
    {Reason::ReadOnlyFileSystem, "read-only-file-system", "所在的文件系统只读"},
    {Reason::Vanished, "vanished", "文件已不存在"},
    {Reason::NotARegularFile, "not-a-regular-file", "不是普通文件"},
    {Reason::IsAFolder, "is-a-folder", "该位置是一个文件夹"},
    {Reason::PathBlocked, "path-blocked", "路径中的某一级不是文件夹, 或链接形成循环"},
    {Reason::TooManyOpenFiles, "too-many-open-files", "打开的文件过多"},
    {Reason::PipeClosed, "pipe-closed", "输出管道已关闭, 读取的程序已退出"},
    {Reason::ReadError, "read-error", "读取失败"},
    {Reason::WriteError, "write-error", "写入失败"},
    {Reason::Locked, "locked", "文件被其他程序占用"},
    {Reason::WorkbookNotWritable, "workbook-not-writable", "已有的工作簿不允许写入, 未覆盖"},
    {Reason::CaseCollision, "case-collision", "工作簿已由同一文件夹中只有大小写不同的另一个txt文件写出, 未覆盖"},
    {Reason::ImportFailed, "import-failed", "导入没有生成工作簿"},
    {Reason::SaveFailed, "save-failed", "未能保存工作簿"},
    {Reason::UnknownFileFormat, "unknown-file-format", "未知的工作簿格式"},
    {Reason::UnsupportedImport, "unsupported-import", "无法按这些设置导入文本"},
    {Reason::TemporaryFileFailed, "temporary-file-failed", "无法创建临时文件"},
    {Reason::Interrupted, "interrupted", "转换被中断"},
    {Reason::NoApplication, "no-application",
     "本功能需要电脑中装有微软office或金山wps专业版(注意是专业版,不是个人版)!"},
    {Reason::Other, "other", "出错"},
};

const ReasonRow& rowOf(Reason reason)
{
    for (const ReasonRow& row : reasonTable) {
        if (row.reason == reason)
            return row;
    }
    return reasonTable[sizeof(reasonTable) / sizeof(reasonTable[0]) - 1];
}

} // namespace

QString reasonText(Reason reason)
{
    return QString::fromUtf8(rowOf(reason).text);
}

const char* reasonCode(Reason reason)
{
    return rowOf(reason).code;
}

QString Failure::text() const
{
    QString result = reasonText(reason);
    if (!path.isEmpty())
        result += QStringLiteral(": ") + path;
    if (!detail.isEmpty())
        result += QStringLiteral(" (") + detail + QLatin1Char(')');
    return result;
}

Reason reasonForErrno(int error)
{
    switch (error) {
    case 0:
        return Reason::None;
    case EACCES:
    case EPERM:
        return Reason::NoPermission;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return Reason::DiskFull;
    case EFBIG:
        return Reason::FileTooLarge;
    case ENAMETOOLONG:
        return Reason::NameTooLong;
    case EROFS:
        return Reason::ReadOnlyFileSystem;
    case ENOENT:
        return Reason::Vanished;
    case EISDIR:
        return Reason::IsAFolder;
    case ENOTDIR:
#ifdef ELOOP
    case ELOOP:
#endif
        return Reason::PathBlocked;
    case EMFILE:
    case ENFILE:
        return Reason::TooManyOpenFiles;
    case EPIPE:
        return Reason::PipeClosed;
    case EIO:
        return Reason::ReadError;
#ifdef ETXTBSY
    case ETXTBSY:
#endif
    case EBUSY:
        return Reason::Locked;
    default:
        return Reason::Other;
    }
}

namespace {

// The error's number and, where the C library tells it, its symbolic name ("系统错误 22 (EINVAL)"):
// enough to look it up, and no English sentence between the Chinese texts, which strerror() gives
// in most locales.
QString systemErrorDetail(int error)
{
    QString detail = QStringLiteral("系统错误 %1").arg(error);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    if (const char* name = strerrorname_np(error))
        detail += QStringLiteral(" (%1)").arg(QString::fromLatin1(name));
#endif
    return detail;
}

} // namespace

Failure systemFailure(int error, const QString& path)
{
    const Reason reason = reasonForErrno(error);
    // A reason of its own says everything; otherwise the error's number says what happened.
    return Failure(reason, path, reason == Reason::Other ? systemErrorDetail(error) : QString());
}

Failure writeFailure(int error, const QString& path)
{
    Failure failure = systemFailure(error, path);
    if (failure.reason == Reason::ReadError)
        failure.reason = Reason::WriteError;
    return failure;
}

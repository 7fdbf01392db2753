#include "cli/commandline.h"

#include "convert/sourcefiles.h"
#include "convert/textcolumns.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString folderArgument(const QString& path)
{
    // Folders travel with a trailing separator, as the window's folder dialogs deliver them.
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (!native.endsWith(QDir::separator()))
        native += QDir::separator();
    return native;
}

bool validTextColumns(const QString& list)
{
    return !parseTextColumnList(list).invalid;
}

} // namespace

QString commandLineHelp()
{
    return QStringLiteral("用法: quillmorne-convert [选项] 源文件夹\n"
                          "\n"
                          "把源文件夹及其子文件夹中的每个 .txt 文件转换为一个工作簿 (.xlsx 或 .xls)。\n"
                          "\n"
                          "选项:\n"
                          "  -o, --save-to 文件夹      工作簿保存到该文件夹下相同的子文件夹中 (默认: 保存在源文件旁)\n"
                          "      --xls                 写 .xls (Excel 97-2003) 而不是 .xlsx\n"
                          "  -d, --delimiter 分隔符    tab | semicolon | comma | space (默认: tab)\n"
                          "      --merge-delimiters    连续的分隔符视为一个\n"
                          "      --text-columns 列表   按文本导入的列, 例如 2,3,4 (长数字保留每一位)\n"
                          "      --encoding 编码       auto | utf16 | local (默认: auto, 即 UTF-8, 否则 GBK)\n"
                          "      --cell-by-cell        逐个单元格写入 (需要 --text-columns)\n"
                          "      --auto                自动识别转换, 不使用以上导入设置\n"
                          "  -q, --quiet               只输出汇总和错误\n"
                          "  -h, --help                显示本帮助\n"
                          "      --version             显示版本\n"
                          "\n"
                          "按一次 Ctrl+C: 当前文件转换完成后停止; 再按一次 Ctrl+C, 或收到 SIGTERM、SIGHUP:\n"
                          "立即停止, 放弃正在转换的文件 (列入失败列表), 不留下临时文件。\n"
                          "\n"
                          "退出状态: 0 全部转换成功; 1 有文件未能转换; 2 参数错误或文件夹不存在;\n"
                          "128+信号编号 被信号中断且有文件未转换 (Ctrl+C 为 130, SIGTERM 为 143, SIGHUP 为 129)。\n"
                          "无法转换的文件列在源文件夹的 \"无法转换的文件目录.txt\" 中。\n");
}

CommandLine parseCommandLine(const QStringList& arguments)
{
    CommandLine result;
    auto fail = [&result](const QString& message) {
        result.action = CommandLine::Action::Error;
        result.errorMessage = message;
        return result;
    };

    QString sourceFolder;
    QString saveFolder;
    bool haveSaveFolder = false;
    bool endOfOptions = false;
    ConversionOptions& options = result.options;

    for (int i = 0; i < arguments.size(); ++i) {
        QString argument = arguments.at(i);
        QString inlineValue;
        bool hasInlineValue = false;
        if (!endOfOptions && argument.startsWith(QLatin1String("--"))) {
            const int equals = argument.indexOf(QLatin1Char('='));
            if (equals > 0) {
                inlineValue = argument.mid(equals + 1);
                argument = argument.left(equals);
                hasInlineValue = true;
            }
        }
        auto takeValue = [&](QString* value) {
            if (hasInlineValue) {
                *value = inlineValue;
                return true;
            }
            if (i + 1 >= arguments.size())
                return false;
            *value = arguments.at(++i);
            return true;
        };

        if (endOfOptions || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            if (!sourceFolder.isEmpty())
                return fail(QStringLiteral("只能给出一个源文件夹, 多余的参数: %1").arg(argument));
            sourceFolder = argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            endOfOptions = true;
        } else if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            result.action = CommandLine::Action::ShowHelp;
            return result;
        } else if (argument == QLatin1String("--version")) {
            result.action = CommandLine::Action::ShowVersion;
            return result;
        } else if (argument == QLatin1String("-o") || argument == QLatin1String("--save-to")) {
            if (!takeValue(&saveFolder) || saveFolder.isEmpty())
                return fail(QStringLiteral("%1 需要一个文件夹").arg(argument));
            haveSaveFolder = true;
        } else if (argument == QLatin1String("--xls")) {
            options.xlsxOutput = false;
        } else if (argument == QLatin1String("-d") || argument == QLatin1String("--delimiter")) {
            QString value;
            if (!takeValue(&value))
                return fail(QStringLiteral("%1 需要一个分隔符: tab, semicolon, comma 或 space").arg(argument));
            if (!delimiterFromName(value, &options.delimiter))
                return fail(QStringLiteral("无效的分隔符 \"%1\": 可选 %2").arg(value, delimiterNames()));
        } else if (argument == QLatin1String("--merge-delimiters")) {
            options.consecutiveDelimiters = true;
        } else if (argument == QLatin1String("--text-columns")) {
            QString value;
            if (!takeValue(&value) || !validTextColumns(value))
                return fail(QStringLiteral("无效的文本列 \"%1\": 请给出以英文逗号分隔的列号 (从 1 开始), 例如 2,3,4")
                                .arg(value));
            options.textColumnsEnabled = true;
            options.textColumns = value;
        } else if (argument == QLatin1String("--encoding")) {
            QString value;
            if (!takeValue(&value))
                return fail(QStringLiteral("--encoding 需要一个值: auto, utf16 或 local"));
            const QString lower = value.toLower();
            if (lower == QLatin1String("auto")) {
                options.sourceUcs2 = false;
                options.sourceUtf8Bom = false;
            } else if (lower == QLatin1String("utf16")) {
                options.sourceUcs2 = true;
                options.sourceUtf8Bom = false;
            } else if (lower == QLatin1String("local")) {
                options.sourceUcs2 = false;
                options.sourceUtf8Bom = true;
            } else {
                return fail(QStringLiteral("无效的编码 \"%1\": 可选 auto, utf16 或 local").arg(value));
            }
        } else if (argument == QLatin1String("--cell-by-cell")) {
            options.cellByCellMode = true;
        } else if (argument == QLatin1String("--auto")) {
            result.automatic = true;
        } else if (argument == QLatin1String("-q") || argument == QLatin1String("--quiet")) {
            result.quiet = true;
        } else {
            return fail(QStringLiteral("未知选项: %1 (用 --help 查看可用选项)").arg(argument));
        }
        if (hasInlineValue && (argument == QLatin1String("--xls") || argument == QLatin1String("--merge-delimiters") ||
                               argument == QLatin1String("--cell-by-cell") || argument == QLatin1String("--auto") ||
                               argument == QLatin1String("--quiet")))
            return fail(QStringLiteral("选项 %1 不带值").arg(argument));
    }

    if (sourceFolder.isEmpty())
        return fail(QStringLiteral("缺少源文件夹 (用 --help 查看用法)"));
    if (options.cellByCellMode && !options.textColumnsEnabled)
        return fail(QStringLiteral("--cell-by-cell 需要同时给出 --text-columns"));

    options.sourceFolder = folderArgument(sourceFolder);
    options.saveToSourceFolder = !haveSaveFolder;
    options.saveFolder = haveSaveFolder ? folderArgument(saveFolder) : QString();
    options.failureListPath = QDir::toNativeSeparators(QDir(options.sourceFolder).filePath(failureListFileName()));
    return result;
}

Failure checkFolders(const ConversionOptions& options)
{
    return checkJobFolders(options);
}
